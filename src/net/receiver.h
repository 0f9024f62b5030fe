// The multicast receiver: names to IPv4 addresses, the UDP socket bound to the wildcard
// address on the port, and joining and leaving the group (any-source or source-specific).
#pragma once

#include "app/app.h"
#include "net/socket.h"

// Finds the first IPv4 address of a dotted address or a name (port 0), printing nothing.
// Returns 0, or -1 with the resolver's code in resolver_code (0 when it found no IPv4 address).
int find_ipv4(const char *host, sockaddr_in *address, int *resolver_code);

// Resolves a dotted address or a name to its first IPv4 address (port 0). Returns 0, or -1:
// after an error line when the resolver failed, silently when it found no IPv4 address.
int resolve_ipv4(const char *host, sockaddr_in *address);

// Opens a UDP socket with address reuse, binds it and prints the bind line. Returns the
// socket, or INVALID_SOCKET_HANDLE after an error line.
socket_handle open_receiver_socket(const sockaddr_in *bind_address);

// Sends one membership request; the source-specific form when source is not null. Returns 0,
// or -1 after an error line.
int set_membership(socket_handle s, int option, in_addr group, in_addr interface_addr,
                   const in_addr *source);

// Joins the group, resolving options->source_host into source_addr first when there is one.
int join_group(socket_handle s, const settings *options, const sockaddr_in *group_addr,
               sockaddr_in *source_addr);

// Leaves what join_group joined; a failure is reported and otherwise ignored.
void leave_group(socket_handle s, const settings *options, const sockaddr_in *group_addr,
                 const sockaddr_in *source_addr);
