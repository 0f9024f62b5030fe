// Endpoints of any address family: one type for a host and a port, found with the family left
// open, compared, and written as numeric text; and the decisions made on addresses.
#pragma once

#include <stdint.h>

#include "net/socket.h"

// Room for the longest numeric host text, "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255",
// and its terminator.
#define HOST_TEXT_MAX 46

// The host as numeric text, terminated; returns the end: dotted IPv4 (as inet_ntoa writes it),
// or IPv6 in its shortest form (lower case, the longest run of zero groups as "::", an
// IPv4-mapped address with its IPv4 part dotted).
char *format_host(char *out, const endpoint *address);

// Room for an endpoint's text: the host in brackets, a colon, five digits, the terminator.
#define ENDPOINT_TEXT_MAX (HOST_TEXT_MAX + 8)

// The host and port as "10.0.0.7:40000" or "[fd00::1]:40000", terminated; returns the end.
char *format_endpoint(char *out, const endpoint *address);

// The port, in host byte order; and setting it.
uint16_t endpoint_port(const endpoint *address);
void endpoint_set_port(endpoint *address, uint16_t port);

// The wildcard address of a family (0.0.0.0 or ::) with the port.
void endpoint_any(endpoint *address, int family, uint16_t port);

// Whether two endpoints have the same host (ports aside), and the same host and port.
bool same_host(const endpoint *a, const endpoint *b);

// Asked twice for every datagram line: inline, with IPv4 compared field by field.
inline bool same_endpoint(const endpoint *a, const endpoint *b)
{
    if (a->storage.ss_family == AF_INET && b->storage.ss_family == AF_INET) {
        const sockaddr_in *x = reinterpret_cast<const sockaddr_in *>(&a->storage);
        const sockaddr_in *y = reinterpret_cast<const sockaddr_in *>(&b->storage);
        return x->sin_port == y->sin_port && x->sin_addr.s_addr == y->sin_addr.s_addr;
    }
    return same_host(a, b) && endpoint_port(a) == endpoint_port(b);
}

// Finds the first address of the family (AF_INET, AF_INET6, or AF_UNSPEC for either) for a
// numeric address or a name, port 0, printing nothing. Returns 0, or -1 with the resolver's
// code in resolver_code (0 when it found no address of the family).
int find_host(const char *host, int family, endpoint *found, int *resolver_code);

// Finds the address of a group, the family left open: the first multicast address among the
// resolver's answers; where none is multicast, the first IPv4 address, else the first address
// (the join then fails, as it must); an IPv6 address with a zone as find_zoned_group reads it.
// Prints nothing; returns as find_host does (code 0 for a zone that names no interface).
int find_group(const char *host, endpoint *found, int *resolver_code);

// An IPv6 address with a zone, as "ff15::1%eth1": the resolver takes a zone only for
// link-local addresses, so the address and the zone (an interface's name or index) are read
// apart, for a group of any scope. Returns 1 when found, 0 when the host is no IPv6 address
// with a zone, -1 when its zone names no interface. Prints nothing.
int find_zoned_group(const char *host, endpoint *found);

// Whether the host is a multicast address (224.0.0.0/4, ff00::/8); whether it is an IPv6
// group whose scope is the link (ff02::/16), which needs an interface to be joined.
bool is_multicast(const endpoint *address);
bool is_link_local_group(const endpoint *address);

// The IPv6 zone (scope id) an address was written with, as "ff02::1%eth0"; 0 for none.
uint32_t endpoint_zone(const endpoint *address);

// The length of the family's socket address, as bind and sendto take it.
int endpoint_length(const endpoint *address);

// Whether a datagram can come from this host: not a multicast address, not the unspecified
// address and not IPv4's broadcast 255.255.255.255.
bool is_unicast(const endpoint *address);

// Whether a received datagram was sent to the group: a wildcard-bound socket also receives
// unicast datagrams to the port. One whose destination the system did not give is taken.
bool is_for_group(const received_datagram *datagram, const endpoint *group);
