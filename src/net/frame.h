// A captured frame decoded down to its UDP datagram, as pure decisions on given bytes: the
// link layers real captures hold (Ethernet with 802.1Q and 802.1ad tags of any depth, PPPoE
// sessions, Linux cooked captures SLL and SLL2, raw IP, BSD loopback), IPv4 with options and
// IPv6 with extension headers. Nothing here reads a file.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "net/endpoint.h"

// The link types a capture file names (pcap's LINKTYPE_ values, as libpcap hands them over).
enum link_type {
    LINK_NULL = 0,         // BSD loopback: a 4-byte family in the capturing host's order
    LINK_ETHERNET = 1,
    LINK_RAW = 101,        // raw IPv4 or IPv6 (libpcap may say 12 or 14 for it)
    LINK_LOOP = 108,       // OpenBSD loopback: the family in network order
    LINK_LINUX_SLL = 113,
    LINK_IPV4 = 228,
    LINK_IPV6 = 229,
    LINK_LINUX_SLL2 = 276,
};

enum frame_kind {
    FRAME_UDP,             // a whole UDP datagram's header, and as much payload as was captured
    FRAME_FRAGMENT,        // an IP fragment of a UDP datagram, to be reassembled
    FRAME_TRUNCATED,       // cut short by the snap length before its UDP header ended (its
                           // ports and addresses are known where it ended after the ports)
    FRAME_OTHER,           // anything else: another protocol, a later fragment, a bad header
};

struct udp_frame {
    frame_kind kind;
    bool addressed;        // source and destination hold the addresses and the ports: always
                           // for FRAME_UDP, and for FRAME_TRUNCATED where the ports were
                           // captured; a fragment's have the addresses only
    endpoint source;
    endpoint destination;
    const unsigned char *payload;  // into the frame: the UDP payload, or a fragment's data
    size_t captured_bytes; // of the payload, as captured
    uint32_t length_bytes; // of the payload, as the UDP header says (a length past the IP
                           // packet's, or an IPv4 length short of its header, is FRAME_OTHER);
                           // of a fragment's data, as its IP header says
    uint32_t fragment_id;  // a fragment's IP identification, its place in the datagram (from
    uint32_t fragment_offset_bytes; // the UDP header's first byte), and whether more follow
    bool more_fragments;
};

// Decodes a frame of captured bytes (of the link type) to its UDP datagram, where it holds one;
// the addresses are written only where found (and then only what their family's structure
// holds). The frame may be cut short anywhere: nothing past captured is read.
void decode_frame(int link, const unsigned char *frame, size_t captured, udp_frame *found);

// Decodes a datagram reassembled from fragments: udp holds captured_bytes of its total_bytes,
// from the UDP header on. The addresses are left as the fragments' were; the ports, the
// payload and the lengths are set as decode_frame sets them.
void decode_reassembled(const unsigned char *udp, size_t captured_bytes, size_t total_bytes,
                        udp_frame *found);
