// Captured frames decoded to their UDP datagrams, for each link layer and IP header a real
// capture holds, built here byte by byte.
#include "net/frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/address.h"
#include "net/capture.h"

namespace {

using bytes = std::vector<unsigned char>;

bytes operator+(bytes a, const bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bytes be16(unsigned value)
{
    return {static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
}

// A UDP header and payload from port 40000 to 5000.
bytes udp(size_t payload_bytes)
{
    return be16(40000) + be16(5000) + be16(unsigned(8 + payload_bytes)) + be16(0) +
           bytes(payload_bytes, 0xab);
}

// IPv4 from 10.0.0.7 to 239.1.2.3, with option words and the fragment field.
bytes ipv4(const bytes &payload, int option_words = 0, unsigned fragment = 0)
{
    bytes header = {static_cast<unsigned char>(0x45 + option_words), 0};
    header = header + be16(unsigned(20 + 4 * option_words + payload.size())) + be16(1) +
             be16(fragment) + bytes{64, 17} + be16(0) + bytes{10, 0, 0, 7} + bytes{239, 1, 2, 3};
    return header + bytes(size_t(4 * option_words), 1) + payload;
}

// IPv6 from fd00::1 to ff15::1234 through the extension headers given as (type, bytes).
bytes ipv6(const bytes &payload, const std::vector<std::pair<unsigned, bytes>> &extensions = {})
{
    bytes chain;
    unsigned first = 17;
    for (size_t i = extensions.size(); i-- > 0;) {
        bytes extension = extensions[i].second;
        extension[0] = static_cast<unsigned char>(first);
        chain = extension + chain;
        first = extensions[i].first;
    }
    bytes source(16, 0), group(16, 0);
    source[0] = 0xfd;
    source[15] = 1;
    group[0] = 0xff;
    group[1] = 0x15;
    group[14] = 0x12;
    group[15] = 0x34;
    return bytes{0x60, 0, 0, 0} + be16(unsigned(chain.size() + payload.size())) +
           bytes{static_cast<unsigned char>(first), 64} + source + group + chain + payload;
}

bytes ethernet(unsigned type, const bytes &payload)
{
    return bytes(12, 0x02) + be16(type) + payload;
}

// The frame without its last bytes, as a snap length leaves it.
bytes cut(bytes frame, size_t bytes_cut)
{
    frame.resize(frame.size() - bytes_cut);
    return frame;
}

// The frame with one byte changed, as a faulty or hostile sender writes it.
bytes with_byte(bytes frame, size_t at, unsigned char value)
{
    frame[at] = value;
    return frame;
}

struct frame_case {
    const char *name;
    int link;
    bytes frame;
    frame_kind kind;
    const char *destination;  // with its port, for UDP and a first fragment
    uint32_t length_bytes;
    size_t captured_bytes;
};

TEST(DecodeFrame, FindsTheUdpDatagramInEveryLinkLayerAndIpHeader)
{
    const bytes v4 = ipv4(udp(12));
    const bytes hop_by_hop = bytes{0, 0} + bytes(6, 1);
    const frame_case cases[] = {
        {"Ethernet", LINK_ETHERNET, ethernet(0x0800, v4), FRAME_UDP, "239.1.2.3:5000", 12, 12},
        {"802.1Q", LINK_ETHERNET, ethernet(0x8100, be16(7) + be16(0x0800) + v4), FRAME_UDP,
         "239.1.2.3:5000", 12, 12},
        {"802.1ad over 802.1Q over 802.1Q", LINK_ETHERNET,
         ethernet(0x88a8, be16(1) + be16(0x8100) + be16(2) + be16(0x8100) + be16(3) +
                              be16(0x0800) + v4),
         FRAME_UDP, "239.1.2.3:5000", 12, 12},
        {"PPPoE session", LINK_ETHERNET,
         ethernet(0x8864, bytes{0x11, 0} + be16(9) + be16(unsigned(v4.size() + 2)) + be16(0x21) + v4),
         FRAME_UDP, "239.1.2.3:5000", 12, 12},
        {"PPPoE, its protocol compressed to a byte", LINK_ETHERNET,
         ethernet(0x8864, bytes{0x11, 0} + be16(9) + be16(0) + bytes{0x21} + v4), FRAME_UDP,
         "239.1.2.3:5000", 12, 12},
        {"PPPoE over 802.1Q, IPv6", LINK_ETHERNET,
         ethernet(0x8100, be16(5) + be16(0x8864) + bytes{0x11, 0} + be16(9) + be16(0) +
                              be16(0x57) + ipv6(udp(4))),
         FRAME_UDP, "[ff15::1234]:5000", 4, 4},
        {"Linux cooked", LINK_LINUX_SLL, bytes(14, 0) + be16(0x0800) + v4, FRAME_UDP,
         "239.1.2.3:5000", 12, 12},
        {"Linux cooked v2", LINK_LINUX_SLL2, be16(0x86dd) + bytes(18, 0) + ipv6(udp(3)),
         FRAME_UDP, "[ff15::1234]:5000", 3, 3},
        {"raw IP", LINK_RAW, v4, FRAME_UDP, "239.1.2.3:5000", 12, 12},
        {"raw IP as libpcap names it", 12, ipv6(udp(1)), FRAME_UDP, "[ff15::1234]:5000", 1, 1},
        {"BSD loopback, little-endian", LINK_NULL, bytes{2, 0, 0, 0} + v4, FRAME_UDP,
         "239.1.2.3:5000", 12, 12},
        {"BSD loopback, big-endian IPv6", LINK_NULL, bytes{0, 0, 0, 30} + ipv6(udp(2)),
         FRAME_UDP, "[ff15::1234]:5000", 2, 2},
        {"OpenBSD loopback", LINK_LOOP, bytes{0, 0, 0, 2} + v4, FRAME_UDP, "239.1.2.3:5000", 12, 12},
        {"IPv4 options", LINK_RAW, ipv4(udp(5), 3), FRAME_UDP, "239.1.2.3:5000", 5, 5},
        {"IPv6 hop-by-hop, routing and destination options", LINK_RAW,
         ipv6(udp(6), {{0, hop_by_hop}, {43, bytes{0, 1} + bytes(14, 0)}, {60, hop_by_hop}}),
         FRAME_UDP, "[ff15::1234]:5000", 6, 6},
        {"IPv4 first fragment", LINK_RAW, ipv4(udp(12), 0, 0x2000), FRAME_FRAGMENT, "", 20, 20},
        {"IPv4 later fragment", LINK_RAW, ipv4(bytes(16, 0), 0, 0x2002), FRAME_FRAGMENT, "", 16,
         16},
        {"IPv6 first fragment", LINK_RAW, ipv6(udp(8), {{44, bytes{0, 0, 0, 1, 0, 0, 0, 9}}}),
         FRAME_FRAGMENT, "", 16, 16},
        {"IPv6 later fragment, cut short", LINK_RAW,
         cut(ipv6(bytes(8, 0), {{44, bytes{0, 0, 0, 0x10, 0, 0, 0, 9}}}), 3), FRAME_FRAGMENT, "",
         8, 5},
        {"IPv6 atomic fragment", LINK_RAW, ipv6(udp(8), {{44, bytes{0, 0, 0, 0, 0, 0, 0, 9}}}),
         FRAME_UDP, "[ff15::1234]:5000", 8, 8},
        {"IPv6 fragment of another protocol", LINK_RAW,
         with_byte(ipv6(udp(8), {{44, bytes{0, 0, 0, 1, 0, 0, 0, 9}}}), 40, 6), FRAME_OTHER, "", 0,
         0},
        {"cut short in the payload", LINK_ETHERNET, cut(ethernet(0x0800, v4), 5), FRAME_UDP,
         "239.1.2.3:5000", 12, 7},
        {"cut short in the UDP header, after its ports", LINK_RAW, cut(v4, 16), FRAME_TRUNCATED,
         "239.1.2.3:5000", 0, 0},
        {"cut short in the UDP header, in its ports", LINK_RAW, cut(v4, 18), FRAME_TRUNCATED, "", 0, 0},
        {"a UDP length past its IPv4 packet", LINK_RAW, with_byte(v4, 25, 60), FRAME_OTHER, "", 0, 0},
        {"a UDP length past its IPv6 packet", LINK_RAW, with_byte(ipv6(udp(4)), 45, 13), FRAME_OTHER,
         "", 0, 0},
        {"a UDP length short of its IPv4 packet", LINK_RAW, with_byte(ipv4(udp(12)), 25, 12),
         FRAME_UDP, "239.1.2.3:5000", 4, 4},
        {"an IPv4 length short of its header", LINK_RAW, with_byte(v4, 3, 19), FRAME_OTHER, "", 0, 0},
        {"cut short in the link header", LINK_ETHERNET, bytes(10, 0), FRAME_TRUNCATED, "", 0, 0},
        {"not UDP", LINK_RAW, [&] { bytes tcp = v4; tcp[9] = 6; return tcp; }(), FRAME_OTHER, "", 0, 0},
        {"ARP", LINK_ETHERNET, ethernet(0x0806, bytes(28, 0)), FRAME_OTHER, "", 0, 0},
        {"an unknown link", 147, v4, FRAME_OTHER, "", 0, 0},
    };
    for (const frame_case &c : cases) {
        SCOPED_TRACE(c.name);
        udp_frame found;
        decode_frame(c.link, c.frame.data(), c.frame.size(), &found);
        EXPECT_EQ(found.kind, c.kind);
        EXPECT_EQ(found.addressed, c.destination[0] != 0);
        if (c.kind == FRAME_FRAGMENT) {
            EXPECT_EQ(found.length_bytes, c.length_bytes);
            EXPECT_EQ(found.captured_bytes, c.captured_bytes);
        }
        if (!found.addressed)
            continue;
        char host[HOST_TEXT_MAX];
        format_host(host, &found.destination);
        bool ipv6_group = found.destination.storage.ss_family == AF_INET6;
        std::string shown = (ipv6_group ? "[" : "") + std::string(host) + (ipv6_group ? "]" : "") +
                            ":" + std::to_string(endpoint_port(&found.destination));
        EXPECT_EQ(shown, c.destination);
        EXPECT_EQ(endpoint_port(&found.source), 40000);
        if (c.kind == FRAME_TRUNCATED)
            continue;
        EXPECT_EQ(found.length_bytes, c.length_bytes);
        EXPECT_EQ(found.captured_bytes, c.captured_bytes);
        for (size_t i = 0; i < found.captured_bytes; i++)
            ASSERT_EQ(found.payload[i], 0xab);
    }
}

// libpcap's stamps as a pcap file's unsigned 32-bit fields or a pcapng's 64 bits give them.
TEST(CaptureStamp, ReadsEveryStampBetween1970AndTheEndOf9999)
{
    struct stamp_case {
        int64_t seconds, microseconds;
        int status;
        uint64_t utc_us;
    } cases[] = {
        {0, 0, 0, 0},
        {1700000000, 999999, 0, 1700000000999999},
        {INT32_MAX, 0, 0, 2147483647000000},
        {INT32_MIN, 0, 0, 2147483648000000},            // 2038-01-19, sign-extended by libpcap
        {-1, -1, 0, 4294967295000000 + 4294967295},     // 2106, with a field out of range
        {253402300799, 999999, 0, 253402300799999999},  // 9999-12-31T23:59:59.999999Z
        {253402300799, 1000000, -1, 0},
        {253402300800, 0, -1, 0},
        {INT64_C(1) << 40, 0, -1, 0},
        {INT64_MAX, 0, -1, 0},
        {int64_t(INT32_MIN) - 1, 0, -1, 0},             // a pcapng's 64 bits past time_t
        {INT64_MIN, 0, -1, 0},
    };
    for (const stamp_case &c : cases) {
        uint64_t utc_us = 0;
        EXPECT_EQ(capture_stamp_us(c.seconds, c.microseconds, &utc_us), c.status) << c.seconds;
        EXPECT_EQ(utc_us, c.utc_us) << c.seconds;
    }
}

// The cases the capture end to end does not reach: quiet streams, runs at the start, a step
// after a stamp far off, and when more frames must be read. Stamps in seconds.
TEST(CaptureStamp, JudgesTheStampsHeldAgainstTheirNeighbours)
{
    const uint64_t s = 1000000, day = 86400 * s, now = 1700000000 * s;
    struct judge_case {
        const char *name;
        int taken_count;
        uint64_t taken_us[2];
        int held_count;
        uint64_t held_us[CAPTURE_HELD_FRAMES];
        bool ended;
        int odd;
    } cases[] = {
        {"a stream sending a frame a minute", 2, {now, now + 60 * s}, 3,
         {now + 120 * s, now + 180 * s, now + 240 * s}, false, -1},
        {"... all its frames read", 2, {now, now + 60 * s}, 5,
         {now + 120 * s, now + 180 * s, now + 240 * s, now + 300 * s, now + 360 * s}, false, 0},
        {"its last frame", 2, {now, now + 60 * s}, 1, {now + 120 * s}, true, 0},
        {"a frame 11 s out among quiet ones", 1, {now}, 2, {now + 41 * s, now + 30 * s}, false,
         1},
        {"a frame far off, then a step back", 1, {now}, 2, {now + day, now - 3600 * s}, false, 1},
        {"five far off in a row are a step", 1, {now}, 5,
         {0, 0, 0, 0, 0}, false, 0},
        {"two at the start in 1970", 0, {}, 4, {0, 1, now, now + 1}, false, 2},
        {"a quiet start is no fault", 0, {}, 6,
         {now, now + 3600 * s, now + 3601 * s, now + 3602 * s, now + 3603 * s, now + 3604 * s},
         false, 0},
        {"the start waits for two beyond", 0, {}, 2, {0, now}, false, -1},
        {"a pipe gone quiet at the start", 0, {}, 2, {0, now}, true, 1},
        {"two at the end far ahead", 2, {now, now + 1}, 2, {now + day + 2, now + day + 3}, true,
         2},
        {"an hour ahead at the end", 2, {now, now + 1}, 1, {now + 3600 * s}, true, 0},
    };
    for (const judge_case &c : cases)
        EXPECT_EQ(judge_held_stamps(c.taken_us, c.taken_count, c.held_us, c.held_count, c.ended),
                  c.odd)
            << c.name;
}

} // namespace
