#include "net/frame.h"

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

static udp_frame other_frame(void)
{
    udp_frame none = {};
    none.kind = FRAME_OTHER;
    return none;
}

// The UDP header at udp, captured_bytes of it and what follows: the ports and the payload.
static udp_frame decode_udp(udp_frame found, const unsigned char *udp, size_t captured_bytes,
                            bool first_fragment)
{
    if (captured_bytes < 8) {
        found.kind = FRAME_TRUNCATED;
        return found;
    }
    uint16_t length = read16(udp + 4);
    // A jumbogram's length field is 0; anything shorter than its header is not UDP.
    if (length < 8 && !first_fragment)
        return other_frame();
    reinterpret_cast<sockaddr_in *>(&found.source.storage)->sin_port = htons(read16(udp));
    reinterpret_cast<sockaddr_in *>(&found.destination.storage)->sin_port = htons(read16(udp + 2));
    found.kind = first_fragment ? FRAME_FRAGMENT : FRAME_UDP;
    found.payload = udp + 8;
    found.length_bytes = length >= 8 ? length - 8u : 0;
    size_t after = captured_bytes - 8;
    found.captured_bytes = after < found.length_bytes ? after : found.length_bytes;
    return found;
}

static udp_frame decode_ipv4(const unsigned char *ip, size_t captured)
{
    if (captured < 20 || (ip[0] >> 4) != 4)
        return captured < 20 ? udp_frame{FRAME_TRUNCATED, {}, {}, nullptr, 0, 0} : other_frame();
    size_t header_bytes = size_t(ip[0] & 0x0f) * 4;
    if (header_bytes < 20 || ip[9] != PROTOCOL_UDP)
        return other_frame();
    udp_frame found = {};
    sockaddr_in *from = reinterpret_cast<sockaddr_in *>(&found.source.storage);
    sockaddr_in *to = reinterpret_cast<sockaddr_in *>(&found.destination.storage);
    from->sin_family = AF_INET;
    to->sin_family = AF_INET;
    memcpy(&from->sin_addr, ip + 12, 4);
    memcpy(&to->sin_addr, ip + 16, 4);
    uint16_t fragment = read16(ip + 6);
    bool more_fragments = (fragment & 0x2000) != 0;
    uint16_t offset = fragment & 0x1fff;
    // A later fragment carries no UDP header: nothing in it says whose it is.
    if (offset != 0)
        return other_frame();
    if (captured < header_bytes) {
        found.kind = FRAME_TRUNCATED;
        return found;
    }
    return decode_udp(found, ip + header_bytes, captured - header_bytes, more_fragments);
}

static udp_frame decode_ipv6(const unsigned char *ip, size_t captured)
{
    if (captured < 40)
        return udp_frame{FRAME_TRUNCATED, {}, {}, nullptr, 0, 0};
    if ((ip[0] >> 4) != 6)
        return other_frame();
    udp_frame found = {};
    sockaddr_in6 *from = reinterpret_cast<sockaddr_in6 *>(&found.source.storage);
    sockaddr_in6 *to = reinterpret_cast<sockaddr_in6 *>(&found.destination.storage);
    from->sin6_family = AF_INET6;
    to->sin6_family = AF_INET6;
    memcpy(&from->sin6_addr, ip + 8, 16);
    memcpy(&to->sin6_addr, ip + 24, 16);
    unsigned next = ip[6];
    size_t at = 40;
    bool first_fragment = false;
    // The extension headers, each naming the next: hop-by-hop, routing, destination options,
    // fragment, authentication. Eight at most: a chain longer than that is not a real one.
    for (int hops = 0; hops < 8 && next != PROTOCOL_UDP; hops++) {
        if (captured < at + 8) {
            found.kind = FRAME_TRUNCATED;
            return found;
        }
        const unsigned char *extension = ip + at;
        if (next == 0 || next == 43 || next == 60) {
            at += (size_t(extension[1]) + 1) * 8;
        } else if (next == 44) {
            uint16_t fragment = read16(extension + 2);
            if ((fragment & 0xfff8) != 0)
                return other_frame();
            first_fragment = (fragment & 1) != 0;
            at += 8;
        } else if (next == 51) {
            at += (size_t(extension[1]) + 2) * 4;
        } else {
            return other_frame();
        }
        next = extension[0];
    }
    if (next != PROTOCOL_UDP)
        return other_frame();
    if (captured < at) {
        found.kind = FRAME_TRUNCATED;
        return found;
    }
    return decode_udp(found, ip + at, captured - at, first_fragment);
}

// An IP packet by the version in its first nibble.
static udp_frame decode_ip(const unsigned char *ip, size_t captured)
{
    if (captured < 1)
        return udp_frame{FRAME_TRUNCATED, {}, {}, nullptr, 0, 0};
    int version = ip[0] >> 4;
    return version == 4 ? decode_ipv4(ip, captured)
                        : version == 6 ? decode_ipv6(ip, captured) : other_frame();
}

// What follows an ethertype: VLAN tags of any depth, a PPPoE session, or IP.
static udp_frame decode_ethertype(uint16_t type, const unsigned char *at, size_t captured)
{
    for (int tags = 0; tags < 16; tags++) {
        if (type == ETHERTYPE_IPV4)
            return decode_ipv4(at, captured);
        if (type == ETHERTYPE_IPV6)
            return decode_ipv6(at, captured);
        if (type == ETHERTYPE_VLAN || type == ETHERTYPE_QINQ || type == ETHERTYPE_QINQ_OLD) {
            if (captured < 4)
                return udp_frame{FRAME_TRUNCATED, {}, {}, nullptr, 0, 0};
            type = read16(at + 2);
            at += 4;
            captured -= 4;
            continue;
        }
        if (type == ETHERTYPE_PPPOE) {
            // Version and type, code, session, length; then PPP's protocol, in one byte where
            // the link compresses it (an odd first byte: numbers below 256 end odd).
            if (captured < 8)
                return udp_frame{FRAME_TRUNCATED, {}, {}, nullptr, 0, 0};
            bool compressed = (at[6] & 1) != 0;
            uint16_t protocol = compressed ? at[6] : read16(at + 6);
            size_t header_bytes = compressed ? 7 : 8;
            if (protocol == PPP_IPV4)
                return decode_ipv4(at + header_bytes, captured - header_bytes);
            if (protocol == PPP_IPV6)
                return decode_ipv6(at + header_bytes, captured - header_bytes);
        }
        return other_frame();
    }
    return other_frame();
}

// BSD loopback's family: 2 is IPv4 everywhere; IPv6 is 24, 28 or 30 by the system.
static udp_frame decode_loopback(uint32_t family, const unsigned char *at, size_t captured)
{
    if (family == 2)
        return decode_ipv4(at, captured);
    if (family == 24 || family == 28 || family == 30)
        return decode_ipv6(at, captured);
    return other_frame();
}

udp_frame decode_frame(int link, const unsigned char *frame, size_t captured)
{
    static const udp_frame truncated = {FRAME_TRUNCATED, {}, {}, nullptr, 0, 0};
    switch (link) {
    case LINK_ETHERNET:
        return captured < 14 ? truncated : decode_ethertype(read16(frame + 12), frame + 14, captured - 14);
    case LINK_LINUX_SLL:
        return captured < 16 ? truncated : decode_ethertype(read16(frame + 14), frame + 16, captured - 16);
    case LINK_LINUX_SLL2:
        return captured < 20 ? truncated : decode_ethertype(read16(frame), frame + 20, captured - 20);
    case LINK_RAW:
    case 12:
    case 14:
        return decode_ip(frame, captured);
    case LINK_IPV4:
        return decode_ipv4(frame, captured);
    case LINK_IPV6:
        return decode_ipv6(frame, captured);
    case LINK_NULL: {
        if (captured < 4)
            return truncated;
        // Written in the capturing host's order, which may not be this one's: a family is
        // small, so whichever half holds it tells.
        uint32_t little = uint32_t(frame[0]) | uint32_t(frame[1]) << 8 |
                          uint32_t(frame[2]) << 16 | uint32_t(frame[3]) << 24;
        uint32_t family = little > 0xffff ? (little >> 24 | (little >> 8 & 0xff00)) : little;
        return decode_loopback(family, frame + 4, captured - 4);
    }
    case LINK_LOOP:
        return captured < 4 ? truncated : decode_loopback(read16(frame + 2), frame + 4, captured - 4);
    }
    return other_frame();
}
