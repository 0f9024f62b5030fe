// The line printed for each datagram, built by hand: it is the one line a busy stream prints
// thousands of times a second, so it must cost far less than printf.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "net/socket.h"

// The message "IP %s.%hu > %s.%hu: UDP, length %d, seq %lld\n", unterminated; returns the end.
char *format_datagram_message(char *out, const char *sender, uint16_t sender_port,
                              const char *group, uint16_t group_port, int length_bytes,
                              int64_t seq);

// The same message in its three parts, so that the parts that stay the same from one datagram
// to the next are made once: "IP %s.%hu", " > %s.%hu: UDP, length ", "%d, seq %lld\n".
char *format_datagram_sender(char *out, const char *sender, uint16_t sender_port);
char *format_datagram_group(char *out, const char *group, uint16_t group_port);
char *format_datagram_tail(char *out, int length_bytes, int64_t seq);

// Room for the longest of the first two parts.
#define DATAGRAM_PART_MAX 48

// The parts kept between datagrams: the group's, made once, and the last sender's.
struct datagram_parts {
    char group[DATAGRAM_PART_MAX];
    size_t group_length;
    bool have_sender;
    in_addr sender_addr;
    uint16_t sender_port; // network byte order, as received
    char sender[DATAGRAM_PART_MAX];
    size_t sender_length;
};

void datagram_parts_start(datagram_parts *parts, const sockaddr_in *group_addr);

// The datagram message for a datagram from this sender, with the kept parts (made again when
// the sender changes); the same bytes as format_datagram_message.
char *format_datagram_from(char *out, datagram_parts *parts, const sockaddr_in *from,
                           int length_bytes, int64_t seq);
