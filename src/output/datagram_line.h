// The line printed for each datagram, built by hand: it is the one line a busy stream prints
// thousands of times a second, so it must cost far less than printf.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "base/layout.h"
#include "net/socket.h"

// The message "IP %s.%hu > %s.%hu: UDP, length %d, seq %lld\n", unterminated, is made in three
// parts, so that the parts that stay the same from one datagram to the next are made once:
// "IP %s.%hu" ("IP6 " for IPv6), " > %s.%hu: UDP, length ", "%d, seq %lld\n".
char *format_datagram_sender(char *out, const char *protocol, const char *sender,
                             uint16_t sender_port);
char *format_datagram_group(char *out, const char *group, uint16_t group_port);
char *format_datagram_tail(char *out, int length_bytes, int64_t seq);

// The tail in a given layout: "%d, seq %llu" with ", count %u" where it has a count field
// (MoldUDP64's end of session: ", count 65535 (end of session)"), or "%d, too short for seq"
// for a datagram that ends before its fields.
char *format_layout_tail(char *out, const seq_layout *layout, int length_bytes, bool too_short,
                         uint64_t seq, uint32_t count, bool end_of_session);

// Room for the longest of the first two parts (an IPv6 group's).
#define DATAGRAM_PART_MAX 80

// The parts kept between datagrams: the last group's and the last sender's.
struct datagram_parts {
    bool have_group;
    endpoint group_shown;
    char group[DATAGRAM_PART_MAX];
    size_t group_length;
    bool have_sender;
    endpoint sender_shown;
    char sender[DATAGRAM_PART_MAX];
    size_t sender_length;
};

void datagram_parts_start(datagram_parts *parts);

// The datagram message up to its length's text, for a datagram from this sender to this
// group, with the kept parts (made again when the sender or the group changes).
char *format_datagram_head(char *out, datagram_parts *parts, const endpoint *from,
                           const endpoint *group);

// The whole datagram message in the classic layout.
char *format_datagram_from(char *out, datagram_parts *parts, const endpoint *from,
                           const endpoint *group, int length_bytes, int64_t seq);
