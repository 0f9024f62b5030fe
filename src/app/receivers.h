// A stream's socket's life: what it joins resolved, the socket opened, bound and joined with
// the options that shape it (receive buffer, drop counts, room for the loop's naps), and at
// the stop left and closed.
#pragma once

#include "app/loop.h"

// Resolves what the stream joins: the group, the port and the interface (the source comes
// with the join). Returns 0, or -1 after an error line.
int resolve_stream(stream_state *stream);

// Opens, binds and joins the stream's socket (after resolve_stream) as the next of the run's
// open ones; on failure closes what it opened. Returns 0, or -1 after an error line.
int open_stream(run_state *state, stream_state *stream);

// Leaves and closes every open socket. The drops since the last datagram show only in the
// sockets' own counts, so they are read before the sockets close.
void stop_receivers(run_state *state);
