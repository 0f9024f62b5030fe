#include "output/datagram_line.h"
#include "base/format.h"

#include <gtest/gtest.h>

#include <stdio.h>

#include <string.h>

#include <limits>
#include <string>

#include "net/address.h"

namespace {

endpoint numeric(const char *host, uint16_t port)
{
    endpoint address = {};
    int code;
    EXPECT_EQ(net_startup(), 0);
    EXPECT_EQ(find_host(host, AF_UNSPEC, &address, &code), 0) << host;
    endpoint_set_port(&address, port);
    return address;
}

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
    datagram_parts parts;
    datagram_parts_start(&parts);
    for (const char *sender : addresses)
        for (uint16_t sender_port : ports)
            for (const char *group : addresses)
                for (uint16_t group_port : ports) {
                    endpoint from = numeric(sender, sender_port);
                    endpoint to = numeric(group, group_port);
                    for (int length : lengths)
                        for (int64_t seq : seqs) {
                            char expected[256];
                            snprintf(expected, sizeof expected,
                                     "IP %s.%hu > %s.%hu: UDP, length %d, seq %lld\n", sender,
                                     sender_port, group, group_port, length,
                                     static_cast<long long>(seq));
                            char actual[256];
                            char *end = format_datagram_from(actual, &parts, &from, &to, length,
                                                             seq);
                            ASSERT_EQ(std::string(actual, end), expected);
                            compared++;
                        }
                }
    EXPECT_EQ(compared, 4 * 11 * 4 * 11 * 8 * 11);
}

// The kept parts are made again whenever the sender or the group changes.
TEST(DatagramParts, MatchPrintfAsTheSenderAndTheGroupChange)
{
    datagram_parts parts;
    datagram_parts_start(&parts);
    struct from_case {
        const char *sender;
        uint16_t port;
        const char *group;
        int length;
        int64_t seq;
        const char *expected_start; // for IPv6, where the protocol word differs
    };
    const from_case cases[] = {
        {"127.0.0.1", 40000, "239.255.0.1", 64, 1, "IP "},
        {"127.0.0.1", 40000, "239.255.0.1", 65507, 2, "IP "},
        {"127.0.0.1", 40001, "239.255.0.1", 0, -1, "IP "},
        {"127.0.0.2", 40001, "239.255.0.1", 12, 0, "IP "},
        {"255.255.255.255", 0, "239.255.0.1", 1, INT64_MIN, "IP "},
        {"127.0.0.1", 40000, "239.255.0.2", 64, INT64_MAX, "IP "},
        {"fd00::1", 40000, "ff15::1234", 64, 17, "IP6 "},
        {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 65535,
         "ff15:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 65507, INT64_MIN, "IP6 "},
    };
    for (const from_case &c : cases) {
        endpoint from = numeric(c.sender, c.port);
        endpoint group = numeric(c.group, 65535);
        char expected[256];
        snprintf(expected, sizeof expected, "%s%s.%hu > %s.%hu: UDP, length %d, seq %lld\n",
                 c.expected_start, c.sender, c.port, c.group, static_cast<uint16_t>(65535),
                 c.length, static_cast<long long>(c.seq));
        char actual[256];
        char *end = format_datagram_from(actual, &parts, &from, &group, c.length, c.seq);
        EXPECT_EQ(std::string(actual, end), expected);
    }
}

TEST(FormatHost, WritesBothFamiliesInTheirShortestForm)
{
    struct host_case {
        const char *address;
        const char *text;
        bool unicast;
    };
    const host_case cases[] = {
        {"0.0.0.0", "0.0.0.0", false},
        {"127.0.0.1", "127.0.0.1", true},
        {"255.255.255.255", "255.255.255.255", false},
        {"239.1.2.3", "239.1.2.3", false},
        {"10.0.255.9", "10.0.255.9", true},
        {"::", "::", false},
        {"::1", "::1", true},
        {"1::", "1::", true},
        {"ff15::1234", "ff15::1234", false},
        {"FD00:0:0:1:0:0:0:1", "fd00:0:0:1::1", true},   // the longest run of zeros
        {"1:0:0:2:0:0:3:4", "1::2:0:0:3:4", true},       // the first of equal runs
        {"1:0:2:3:4:5:6:7", "1:0:2:3:4:5:6:7", true},    // one zero group stays
        {"2001:db8::ff00:42:8329", "2001:db8::ff00:42:8329", true},
        {"::ffff:255.255.255.255", "::ffff:255.255.255.255", true},
        // The longest text of all.
        {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff",
         false},
    };
    for (const host_case &c : cases) {
        endpoint address = numeric(c.address, 0);
        char text[HOST_TEXT_MAX];
        char *end = format_host(text, &address);
        EXPECT_EQ(std::string(text), c.text) << c.address;
        EXPECT_EQ(end, text + strlen(c.text)) << c.address;
        EXPECT_EQ(is_unicast(&address), c.unicast) << c.address;
    }
}

TEST(PutUtc, WritesIso8601WithMicroseconds)
{
    const std::pair<uint64_t, const char *> cases[] = {
        {0, "1970-01-01T00:00:00.000000Z"},
        {951782400123456, "2000-02-29T00:00:00.123456Z"},   // a leap day in a 400th year
        {1709251199999999, "2024-02-29T23:59:59.999999Z"},
        {1796640585123456, "2026-12-07T10:49:45.123456Z"},
        {4102444799999999, "2099-12-31T23:59:59.999999Z"},
        {253402300800000000, "10000-01-01T00:00:00.000000Z"},
        {UINT64_MAX, "586524-01-19T08:01:49.551615Z"},           // the last 64-bit microsecond
    };
    for (const auto &c : cases) {
        char text[UTC_TEXT_MAX];
        char *end = put_utc(text, c.first);
        EXPECT_EQ(std::string(text, end), c.second) << c.first;
    }
}

TEST(PutJsonString, EscapesWhatJsonRequires)
{
    const std::pair<const char *, const char *> cases[] = {
        {"239.1.2.3", "\"239.1.2.3\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"line\nbreak\x01", "\"line\\u000abreak\\u0001\""},
        {"caf\xc3\xa9\x7f", "\"caf\xc3\xa9\\u007f\""},               // UTF-8 passes
        {"\xe2\x82\xac\xf0\x9f\x98\x80", "\"\xe2\x82\xac\xf0\x9f\x98\x80\""},  // 3 and 4 bytes
        {"a\xe9" "b", "\"a\\ufffdb\""},                              // Latin-1: not UTF-8
        {"\xc0\xaf\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\""},  // overlong, surrogate
        {"\xe2\x82", "\"\\ufffd\\ufffd\""},                           // cut short
        {"", "\"\""},
    };
    for (const auto &c : cases) {
        char text[64];
        char *end = put_json_string(text, c.first);
        EXPECT_EQ(std::string(text, end), c.second);
        EXPECT_LE(static_cast<size_t>(end - text), JSON_STRING_MAX(strlen(c.first)));
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
    // Milliseconds from microseconds, as an outage is written: three places always.
    for (uint64_t value_us : {uint64_t(0), uint64_t(7), uint64_t(12345), uint64_t(300000),
                              uint64_t(UINT64_MAX)}) {
        char expected[48];
        snprintf(expected, sizeof expected, "%llu.%03llu",
                 static_cast<unsigned long long>(value_us / 1000),
                 static_cast<unsigned long long>(value_us % 1000));
        char actual[48];
        EXPECT_EQ(std::string(actual, put_milliseconds(actual, value_us)), expected);
    }
}

} // namespace
