// Raw sockets that hear the multicast queries of this host's links: IGMP for IPv4, ICMPv6
// filtered to MLD queries for IPv6. Linux only, and only with CAP_NET_RAW; elsewhere opening
// one says the platform has none.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "net/query.h"
#include "net/socket.h"

// An interface's name as the system gives it (IF_NAMESIZE on Linux), with its end.
#define INTERFACE_NAME_MAX 16

// The most a raw socket's packet holds that a query reader looks at: a query with 80 sources.
#define QUERY_PACKET_MAX 1400

// Opens a non-blocking raw socket for the family's queries (AF_INET or AF_INET6) that says on
// which interface each came. Returns it, or INVALID_SOCKET_HANDLE after a line that says what
// is missing (CAP_NET_RAW) or that the platform hears no queries; the run goes on without.
socket_handle open_query_socket(int family);

// Takes one packet from the socket into buffer (size bytes) and reads it as a query. Returns 1
// with *reading and *interface_index set, 0 when it was something else, RECEIVE_WOULD_BLOCK
// when nothing was queued, or -1 with the library's last error set.
int receive_query(socket_handle s, unsigned char *buffer, size_t size, query_reading *reading,
                  uint32_t *interface_index);

// The interface's name (INTERFACE_NAME_MAX bytes of room), or its index as digits where it has
// none any more.
void interface_name_of(uint32_t index, char *name);
