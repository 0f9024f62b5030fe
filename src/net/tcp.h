// TCP for the metrics page: a listening socket and its connections, none of them blocking,
// behind one set of calls (BSD sockets, or Winsock).
#pragma once

#include <stddef.h>

#include "net/socket.h"

// A read or write that would have to wait.
#define TCP_WOULD_BLOCK (-2)

// Opens a socket listening on address, with room for backlog connections waiting to be taken
// (the system may allow fewer). On POSIX a port left in TIME_WAIT by a run just ended is taken
// again at once; on Windows the port is held alone, so that no other program can bind it
// beside this one. Returns 0, or -1 with the library's last error set.
int tcp_listen(const endpoint *address, int backlog, socket_handle *listener);

// Takes a waiting connection. Returns 1 with *connection, 0 when none waits, or -1 with the
// library's last error set.
int tcp_accept(socket_handle listener, socket_handle *connection);

// Reads or writes up to size bytes. Returns the count (0 from tcp_read: the peer has ended),
// TCP_WOULD_BLOCK, or -1 with the library's last error set. A write to a connection the peer
// has closed fails; it raises no signal.
long tcp_read(socket_handle s, char *data, size_t size);
long tcp_write(socket_handle s, const char *data, size_t size);

// Ends the sending half: the peer reads what was sent, then the end (a FIN, not a reset).
// Returns 0, or -1 with the library's last error set.
int tcp_shutdown_write(socket_handle s);

// The most sockets one tcp_poll waits on.
#define TCP_POLL_MAX 64

// One socket of a poll: whether it waits to read or to write, and what the poll found.
struct tcp_poll_entry {
    socket_handle socket;
    bool want_write;
    bool ready;      // readable, writable as wanted, ended or failed: the next call will say
};

// Waits up to limit_ms for any of count entries (at most TCP_POLL_MAX) to be ready. Returns
// how many are, or -1 with the library's last error set.
int tcp_poll(tcp_poll_entry *entries, int count, int limit_ms);
