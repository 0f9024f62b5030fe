// Addresses as text and as decisions: the dotted form printed for an IPv4 address, and which
// addresses can be a datagram's source.
#pragma once

#include "net/socket.h"

// Room for the longest dotted address, "255.255.255.255", and its terminator.
#define IPV4_TEXT_MAX 16

// The dotted text of an address, as inet_ntoa gives it, terminated; returns the end.
char *format_ipv4(char *out, in_addr address);

// Whether a datagram can come from this address: not a multicast address, not the unspecified
// 0.0.0.0 and not the broadcast 255.255.255.255.
bool is_unicast_ipv4(in_addr address);

// Whether a received datagram was sent to the group: a wildcard-bound socket also receives
// unicast datagrams to the port. One whose destination the system did not give is taken.
bool is_for_group(const received_datagram *datagram, in_addr group);
