#include "net/frame.h"

#include <stddef.h>
#include <string.h>

#include "net/socket.h"

#define ETHERTYPE_IPV4 0x0800
#define ETHERTYPE_IPV6 0x86dd
#define ETHERTYPE_VLAN 0x8100    // 802.1Q
#define ETHERTYPE_QINQ 0x88a8    // 802.1ad
#define ETHERTYPE_QINQ_OLD 0x9100
#define ETHERTYPE_PPPOE 0x8864   // a PPPoE session
#define PPP_IPV4 0x0021
#define PPP_IPV6 0x0057
#define PROTOCOL_UDP 17

static uint16_t read16(const unsigned char *at)
{
    return static_cast<uint16_t>(at[0] << 8 | at[1]);
}

// A frame's kind, where nothing else about it is needed.
static void set_kind(udp_frame *found, frame_kind kind)
{
    found->kind = kind;
}

// The UDP header at udp, captured_bytes of it and what follows: the ports and the payload.
// The port sits in one place for both families' address structures.
static_assert(offsetof(sockaddr_in, sin_port) == offsetof(sockaddr_in6, sin6_port),
              "the ports of both families lie alike");

// ip_payload_bytes is what the IP header says follows it (SIZE_MAX where it does not say, as for
// a jumbogram): a UDP length past it is not the datagram's, and the kernel drops such a one.
static void decode_udp(udp_frame *found, const unsigned char *udp, size_t captured_bytes,
                       size_t ip_payload_bytes)
{
    if (captured_bytes < 4)
        return set_kind(found, FRAME_TRUNCATED);
    reinterpret_cast<sockaddr_in *>(&found->source.storage)->sin_port = htons(read16(udp));
    reinterpret_cast<sockaddr_in *>(&found->destination.storage)->sin_port = htons(read16(udp + 2));
    found->addressed = true;
    if (captured_bytes < 8)
        return set_kind(found, FRAME_TRUNCATED);
    uint16_t length = read16(udp + 4);
    // A jumbogram's length field is 0; anything shorter than its header is not UDP.
    if (length < 8 || length > ip_payload_bytes) {
        found->addressed = false;
        return set_kind(found, FRAME_OTHER);
    }
    found->kind = FRAME_UDP;
    found->payload = udp + 8;
    found->length_bytes = length - 8u;
    size_t after = captured_bytes - 8;
    found->captured_bytes = after < found->length_bytes ? after : found->length_bytes;
}

// A fragment of a UDP datagram: its place in the datagram and its bytes, to be reassembled.
static void set_fragment(udp_frame *found, uint32_t id, uint32_t offset_bytes, bool more,
                         const unsigned char *data, size_t captured_bytes, size_t length_bytes)
{
    found->kind = FRAME_FRAGMENT;
    found->fragment_id = id;
    found->fragment_offset_bytes = offset_bytes;
    found->more_fragments = more;
    found->payload = data;
    found->length_bytes = static_cast<uint32_t>(length_bytes);
    found->captured_bytes = captured_bytes < length_bytes ? captured_bytes : length_bytes;
}

void decode_reassembled(const unsigned char *udp, size_t captured_bytes, size_t total_bytes,
                        udp_frame *found)
{
    found->addressed = false;
    found->payload = nullptr;
    found->captured_bytes = 0;
    found->length_bytes = 0;
    decode_udp(found, udp, captured_bytes, total_bytes);
}

// Only what the family's structure holds is written: the whole storage is not cleared for
// each of millions of frames.
static void set_ipv4(endpoint *address, const unsigned char *bytes)
{
    sockaddr_in *v4 = reinterpret_cast<sockaddr_in *>(&address->storage);
    v4->sin_family = AF_INET;
    v4->sin_port = 0;
    memcpy(&v4->sin_addr, bytes, 4);
    memset(v4->sin_zero, 0, sizeof v4->sin_zero);
}

static void set_ipv6(endpoint *address, const unsigned char *bytes)
{
    sockaddr_in6 *v6 = reinterpret_cast<sockaddr_in6 *>(&address->storage);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = 0;
    v6->sin6_flowinfo = 0;
    memcpy(&v6->sin6_addr, bytes, 16);
    v6->sin6_scope_id = 0;
}

static void decode_ipv4(udp_frame *found, const unsigned char *ip, size_t captured)
{
    if (captured < 20)
        return set_kind(found, FRAME_TRUNCATED);
    size_t header_bytes = size_t(ip[0] & 0x0f) * 4;
    size_t total_bytes = read16(ip + 2);
    if ((ip[0] >> 4) != 4 || header_bytes < 20 || total_bytes < header_bytes ||
        ip[9] != PROTOCOL_UDP)
        return set_kind(found, FRAME_OTHER);
    set_ipv4(&found->source, ip + 12);
    set_ipv4(&found->destination, ip + 16);
    uint16_t fragment = read16(ip + 6);
    uint32_t offset_bytes = uint32_t(fragment & 0x1fff) * 8;
    bool more_fragments = (fragment & 0x2000) != 0;
    if (captured < header_bytes)
        return set_kind(found, FRAME_TRUNCATED);
    if (offset_bytes != 0 || more_fragments)
        return set_fragment(found, read16(ip + 4), offset_bytes, more_fragments, ip + header_bytes,
                            captured - header_bytes, total_bytes - header_bytes);
    decode_udp(found, ip + header_bytes, captured - header_bytes, total_bytes - header_bytes);
}

static void decode_ipv6(udp_frame *found, const unsigned char *ip, size_t captured)
{
    if (captured < 40)
        return set_kind(found, FRAME_TRUNCATED);
    if ((ip[0] >> 4) != 6)
        return set_kind(found, FRAME_OTHER);
    set_ipv6(&found->source, ip + 8);
    set_ipv6(&found->destination, ip + 24);
    unsigned next = ip[6];
    size_t at = 40;
    bool fragmented = false;
    uint32_t fragment_id = 0, offset_bytes = 0;
    bool more_fragments = false;
    // The extension headers, each naming the next: hop-by-hop, routing, destination options,
    // fragment, authentication. Eight at most: a chain longer than that is not a real one.
    for (int hops = 0; hops < 8 && next != PROTOCOL_UDP; hops++) {
        if (captured < at + 8)
            return set_kind(found, FRAME_TRUNCATED);
        const unsigned char *extension = ip + at;
        if (next == 0 || next == 43 || next == 60) {
            at += (size_t(extension[1]) + 1) * 8;
        } else if (next == 44) {
            uint16_t fragment = read16(extension + 2);
            offset_bytes = fragment & 0xfff8;
            more_fragments = (fragment & 1) != 0;
            // An atomic fragment (at 0, no more to come) is a whole datagram.
            fragmented = offset_bytes != 0 || more_fragments;
            fragment_id = uint32_t(read16(extension + 4)) << 16 | read16(extension + 6);
            at += 8;
            // What follows a fragment header is the fragment's data: of a UDP datagram only
            // where the header says so.
            if (fragmented && extension[0] != PROTOCOL_UDP)
                return set_kind(found, FRAME_OTHER);
        } else if (next == 51) {
            at += (size_t(extension[1]) + 2) * 4;
        } else {
            return set_kind(found, FRAME_OTHER);
        }
        next = extension[0];
    }
    if (next != PROTOCOL_UDP)
        return set_kind(found, FRAME_OTHER);
    if (captured < at)
        return set_kind(found, FRAME_TRUNCATED);
    // A payload length of 0 is a jumbogram's, whose length is in an option.
    size_t payload_bytes = read16(ip + 4);
    if (payload_bytes != 0 && payload_bytes < at - 40)
        return set_kind(found, FRAME_OTHER);
    if (fragmented) {
        if (payload_bytes == 0)
            return set_kind(found, FRAME_OTHER);
        return set_fragment(found, fragment_id, offset_bytes, more_fragments, ip + at,
                            captured - at, payload_bytes - (at - 40));
    }
    decode_udp(found, ip + at, captured - at,
               payload_bytes == 0 ? SIZE_MAX : payload_bytes - (at - 40));
}

// An IP packet by the version in its first nibble.
static void decode_ip(udp_frame *found, const unsigned char *ip, size_t captured)
{
    if (captured < 1)
        return set_kind(found, FRAME_TRUNCATED);
    int version = ip[0] >> 4;
    if (version == 4)
        return decode_ipv4(found, ip, captured);
    if (version == 6)
        return decode_ipv6(found, ip, captured);
    set_kind(found, FRAME_OTHER);
}

// What follows an ethertype: VLAN tags of any depth, a PPPoE session, or IP.
static void decode_ethertype(udp_frame *found, uint16_t type, const unsigned char *at,
                             size_t captured)
{
    for (int tags = 0; tags < 16; tags++) {
        if (type == ETHERTYPE_IPV4)
            return decode_ipv4(found, at, captured);
        if (type == ETHERTYPE_IPV6)
            return decode_ipv6(found, at, captured);
        if (type == ETHERTYPE_VLAN || type == ETHERTYPE_QINQ || type == ETHERTYPE_QINQ_OLD) {
            if (captured < 4)
                return set_kind(found, FRAME_TRUNCATED);
            type = read16(at + 2);
            at += 4;
            captured -= 4;
            continue;
        }
        if (type == ETHERTYPE_PPPOE) {
            // Version and type, code, session, length; then PPP's protocol, in one byte where
            // the link compresses it (an odd first byte: numbers below 256 end odd).
            if (captured < 8)
                return set_kind(found, FRAME_TRUNCATED);
            bool compressed = (at[6] & 1) != 0;
            uint16_t protocol = compressed ? at[6] : read16(at + 6);
            size_t header_bytes = compressed ? 7 : 8;
            if (protocol == PPP_IPV4)
                return decode_ipv4(found, at + header_bytes, captured - header_bytes);
            if (protocol == PPP_IPV6)
                return decode_ipv6(found, at + header_bytes, captured - header_bytes);
        }
        break;
    }
    set_kind(found, FRAME_OTHER);
}

// BSD loopback's family: 2 is IPv4 everywhere; IPv6 is 24, 28 or 30 by the system.
static void decode_loopback(udp_frame *found, uint32_t family, const unsigned char *at,
                            size_t captured)
{
    if (family == 2)
        return decode_ipv4(found, at, captured);
    if (family == 24 || family == 28 || family == 30)
        return decode_ipv6(found, at, captured);
    set_kind(found, FRAME_OTHER);
}

void decode_frame(int link, const unsigned char *frame, size_t captured, udp_frame *found)
{
    found->addressed = false;
    found->payload = nullptr;
    found->captured_bytes = 0;
    found->length_bytes = 0;
    switch (link) {
    case LINK_ETHERNET:
        if (captured < 14)
            return set_kind(found, FRAME_TRUNCATED);
        return decode_ethertype(found, read16(frame + 12), frame + 14, captured - 14);
    case LINK_LINUX_SLL:
        if (captured < 16)
            return set_kind(found, FRAME_TRUNCATED);
        return decode_ethertype(found, read16(frame + 14), frame + 16, captured - 16);
    case LINK_LINUX_SLL2:
        if (captured < 20)
            return set_kind(found, FRAME_TRUNCATED);
        return decode_ethertype(found, read16(frame), frame + 20, captured - 20);
    case LINK_RAW:
    case 12:
    case 14:
        return decode_ip(found, frame, captured);
    case LINK_IPV4:
        return decode_ipv4(found, frame, captured);
    case LINK_IPV6:
        return decode_ipv6(found, frame, captured);
    case LINK_NULL: {
        if (captured < 4)
            return set_kind(found, FRAME_TRUNCATED);
        // Written in the capturing host's order, which may not be this one's: a family is
        // small, so whichever half holds it tells.
        uint32_t little = uint32_t(frame[0]) | uint32_t(frame[1]) << 8 |
                          uint32_t(frame[2]) << 16 | uint32_t(frame[3]) << 24;
        uint32_t family = little > 0xffff ? (little >> 24 | (little >> 8 & 0xff00)) : little;
        return decode_loopback(found, family, frame + 4, captured - 4);
    }
    case LINK_LOOP:
        if (captured < 4)
            return set_kind(found, FRAME_TRUNCATED);
        return decode_loopback(found, read16(frame + 2), frame + 4, captured - 4);
    }
    set_kind(found, FRAME_OTHER);
}
