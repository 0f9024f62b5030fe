// A receiver's life: the socket opened, bound and joined for the group on the command line,
// with the options that shape it (receive buffer, drop counts, room for the loop's naps), and
// at the stop left and closed.
#pragma once

#include "app/loop.h"

// Opens, binds and joins the receiver for the group on the command line; on failure closes
// what it opened. Returns 0, or -1 after an error line.
int open_receiver(run_state *state);

// Leaves and closes every receiver. The drops since the last datagram show only in the
// sockets' own counts, so they are read before the sockets close.
void stop_receivers(run_state *state);
