// A socket's life: what its streams join resolved, the socket opened, bound and joined with
// the options that shape it (receive buffer, drop counts, room for the loop's naps), and at
// the stop left and closed.
#pragma once

#include "app/loop.h"

// Resolves what the stream joins: the group, the port and the interface (the source comes
// with the join). Returns 0, or -1 after an error line.
int resolve_stream(stream_state *stream);

// Opens, binds and readies the receiver's socket as the next of the run's open ones, and joins
// each of its streams (after resolve_stream); on failure leaves and closes what it opened.
// Returns 0, or -1 after an error line.
int open_receiver(run_state *state, receiver *opened);

// Leaves and closes every open socket. The drops since the last datagram show only in the
// sockets' own counts, so they are read before the sockets close.
void stop_receivers(run_state *state);

// Where the run's outputs say which queriers its links have: opens a query socket for each
// family of its streams, after the receivers' sockets, so that both are in one wait set. A
// socket that cannot be opened is said once and left out; the run goes on.
void open_query_sockets(run_state *state);

// Watches each interface the streams joined on for queries, from since_us, where a query
// socket is open.
void watch_joined_interfaces(run_state *state, uint64_t since_us);

// Closes the query sockets.
void close_query_sockets(run_state *state);
