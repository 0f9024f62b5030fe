// The multicast receiver: the UDP socket bound to the wildcard address on the group's port,
// and joining and leaving the group, any-source or source-specific, described by a request of
// its own.
#pragma once

#include "net/socket.h"

// What to join: the group (with the port), the source for a source-specific join, and the
// interface.
struct membership_request {
    endpoint group;
    bool source_specific;
    endpoint source;
    in_addr interface_addr;  // IPv4: the interface's address; INADDR_ANY lets the system choose
    uint32_t interface_index; // the interface by index (from a name or a number); 0: none.
                              // IPv6 joins, and IPv4 joins by index, use the protocol-
                              // independent requests (MCAST_JOIN_GROUP and its kin).
    bool joined_by_ipv6_request; // where those are not implemented (Wine, old Windows), an
                                 // any-source IPv6 join is made with IPV6_JOIN_GROUP
};

// Resolves a group's name or address as find_group does. Returns 0, or -1 after the same
// error lines as resolve_host.
int resolve_group(const char *host, endpoint *address);

// Resolves a numeric address or a name to the first address of the family (port 0). Returns
// 0, or -1: after an error line when the resolver failed, silently when it found no address of
// the family.
int resolve_host(const char *host, int family, endpoint *address);

// Opens a UDP socket with address reuse, binds it and readies it for socket_receive_many.
// Returns the socket, or INVALID_SOCKET_HANDLE after an error line (the socket closed).
socket_handle open_receiver_socket(const endpoint *bind_address);

// Sends one IPv4 membership request; the source-specific form when source is not null.
// Returns 0, or -1 after an error line.
int set_membership(socket_handle s, int option, in_addr group, in_addr interface_addr,
                   const in_addr *source);

// Joins as requested. Returns 0, or -1 after an error line.
int join_group(socket_handle s, membership_request *request);

// Leaves what join_group joined; a failure is reported and otherwise ignored.
void leave_group(socket_handle s, const membership_request *request);
