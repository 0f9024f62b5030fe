#include "app/datagram_line.h"
#include "net/address.h"
#include "log/format.h"

#include <gtest/gtest.h>

#include <stdio.h>

#include <limits>
#include <string>

namespace {

// The hand-written line must match, byte for byte, what printf makes of the same values.
TEST(DatagramMessage, MatchesPrintfAcrossExtremes)
{
    const char *addresses[] = {"0.0.0.0", "127.0.0.1", "255.255.255.255", "10.20.30.40"};
    const uint16_t ports[] = {0, 1, 9, 10, 99, 100, 999, 1000, 9999, 10000, 65535};
    const int lengths[] = {0, 1, 12, 999, 65507, std::numeric_limits<int>::max(),
                           std::numeric_limits<int>::min(), -1};
    const int64_t seqs[] = {0,  1,  -1,  9, 10, -10, 4294967295LL, -2147483648LL,
                            std::numeric_limits<int64_t>::max(),
                            std::numeric_limits<int64_t>::min(), 1000000000000000000LL};
    int compared = 0;
    for (const char *sender : addresses)
        for (uint16_t sender_port : ports)
            for (const char *group : addresses)
                for (uint16_t group_port : ports)
                    for (int length : lengths)
                        for (int64_t seq : seqs) {
                            char expected[256];
                            snprintf(expected, sizeof expected,
                                     "IP %s.%hu > %s.%hu: UDP, length %d, seq %lld\n", sender,
                                     sender_port, group, group_port, length,
                                     static_cast<long long>(seq));
                            char actual[256];
                            char *end = format_datagram_message(actual, sender, sender_port,
                                                                group, group_port, length, seq);
                            ASSERT_EQ(std::string(actual, end), expected);
                            compared++;
                        }
    EXPECT_EQ(compared, 4 * 11 * 4 * 11 * 8 * 11);
}

// The kept parts are made again whenever the sender's address or port changes.
TEST(DatagramParts, MatchPrintfAsTheSenderChanges)
{
    sockaddr_in group = {};
    group.sin_addr.s_addr = inet_addr("239.255.0.1");
    group.sin_port = htons(65535);
    datagram_parts parts;
    datagram_parts_start(&parts, &group);
    struct from_case {
        const char *address;
        uint16_t port;
        int length;
        int64_t seq;
    };
    const from_case cases[] = {
        {"127.0.0.1", 40000, 64, 1},           {"127.0.0.1", 40000, 65507, 2},
        {"127.0.0.1", 40001, 0, -1},           {"127.0.0.2", 40001, 12, 0},
        {"255.255.255.255", 0, 1, INT64_MIN}, {"127.0.0.1", 40000, 64, INT64_MAX},
    };
    for (const from_case &c : cases) {
        sockaddr_in from = {};
        from.sin_addr.s_addr = inet_addr(c.address);
        from.sin_port = htons(c.port);
        char expected[256];
        snprintf(expected, sizeof expected, "IP %s.%hu > %s.%hu: UDP, length %d, seq %lld\n",
                 c.address, c.port, "239.255.0.1", static_cast<uint16_t>(65535), c.length,
                 static_cast<long long>(c.seq));
        char actual[256];
        char *end = format_datagram_from(actual, &parts, &from, c.length, c.seq);
        EXPECT_EQ(std::string(actual, end), expected);
    }
}

TEST(FormatIpv4, MatchesInetNtoa)
{
    const uint32_t values[] = {0, 0x7f000001, 0xffffffff, 0xef010203, 0x0a00ff09, 0x01020304};
    for (uint32_t value : values) {
        in_addr address;
        address.s_addr = htonl(value);
        std::string expected = inet_ntoa(address);
        char text[IPV4_TEXT_MAX];
        char *end = format_ipv4(text, address);
        EXPECT_EQ(std::string(text), expected);
        EXPECT_EQ(*end, '\0');
    }
}

TEST(PutPadded, MatchesPrintfZeroPadding)
{
    const unsigned values[] = {0, 7, 9, 10, 59, 99, 100, 999, 1000, 4294967295u};
    for (unsigned value : values)
        for (int digits : {2, 3}) {
            char expected[32];
            snprintf(expected, sizeof expected, "%0*u", digits, value);
            char actual[32];
            char *end = put_padded(actual, value, digits);
            EXPECT_EQ(std::string(actual, end), expected);
        }
}

} // namespace
