#include "app/datagram_line.h"
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
