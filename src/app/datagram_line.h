// The line printed for each datagram, built by hand: it is the one line a busy stream prints
// thousands of times a second, so it must cost far less than printf.
#pragma once

#include <stdint.h>

#include "net/socket.h"

// Room for the longest dotted address, "255.255.255.255", and its terminator.
#define IPV4_TEXT_MAX 16

// The dotted text of an address, as inet_ntoa gives it, terminated; returns the end.
char *format_ipv4(char *out, in_addr address);

// The message "IP %s.%hu > %s.%hu: UDP, length %d, seq %lld\n", unterminated; returns the end.
char *format_datagram_message(char *out, const char *sender, uint16_t sender_port,
                              const char *group, uint16_t group_port, int length_bytes,
                              int64_t seq);
