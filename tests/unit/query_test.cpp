// The query parsers against a table of what a querier or a host may send, in every version,
// whole and malformed; and which link the live view's title names.
#include "net/query.h"
#include "monitor/querier.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using bytes = std::vector<unsigned char>;

// An IPv4 packet from 10.0.0.1 carrying igmp, its checksum made to hold unless told not to;
// options_words of Router Alert (as queries carry) lengthen the header.
bytes igmp_packet(bytes igmp, int options_words = 1, bool good_checksum = true)
{
    if (igmp.size() >= 4) {
        uint32_t sum = 0;
        for (size_t i = 0; i < igmp.size(); i += 2)
            sum += static_cast<uint32_t>(igmp[i] << 8 | (i + 1 < igmp.size() ? igmp[i + 1] : 0));
        while (sum >> 16)
            sum = (sum & 0xffff) + (sum >> 16);
        uint16_t checksum = static_cast<uint16_t>(~sum ^ (good_checksum ? 0 : 1));
        igmp[2] = static_cast<unsigned char>(checksum >> 8);
        igmp[3] = static_cast<unsigned char>(checksum);
    }
    size_t header = 20 + 4 * static_cast<size_t>(options_words);
    size_t total = header + igmp.size();
    bytes packet = {static_cast<unsigned char>(0x40 | header / 4), 0xc0,
                    static_cast<unsigned char>(total >> 8), static_cast<unsigned char>(total),
                    0, 0, 0, 0, 1, 2, 0, 0, 10, 0, 0, 1, 224, 0, 0, 1};
    for (int i = 0; i < options_words; i++)
        packet.insert(packet.end(), {0x94, 0x04, 0, 0});
    packet.insert(packet.end(), igmp.begin(), igmp.end());
    return packet;
}

// A query of the newer form after the older one's eight bytes: QRV, QQIC, and sources.
bytes igmp_v3(unsigned char code, std::vector<unsigned char> group, unsigned char qqic,
              int sources_said, int sources_given)
{
    bytes igmp = {0x11, code, 0, 0, group[0], group[1], group[2], group[3], 0x02, qqic, 0,
                  static_cast<unsigned char>(sources_said)};
    for (int i = 0; i < sources_given; i++)
        igmp.insert(igmp.end(), {10, 0, 0, static_cast<unsigned char>(9 + i)});
    return igmp;
}

bytes mld(unsigned char type, size_t length, bool group, unsigned char qqic, int sources_said)
{
    bytes message(length, 0);
    message[0] = type;
    if (group) {
        message[8] = 0xff;
        message[9] = 0x0e;
        message[23] = 0x07;
    }
    if (length >= 28) {
        message[25] = qqic;
        message[27] = static_cast<unsigned char>(sources_said);
    }
    return message;
}

std::string described(int found, const query_reading &q)
{
    if (found == 0)
        return "none";
    return std::string(query_version_name(q.version)) + (q.general ? " general" : " group") +
           " " + std::to_string(q.interval_s) + " s from " + std::to_string(q.querier[0]) + "." +
           std::to_string(q.querier[q.version >= QUERY_MLD_V1 ? 15 : 3]);
}

TEST(ReadQuery, EveryVersionAndEveryMalformedForm)
{
    struct query_case {
        const char *name;
        bytes data;
        bool ipv6;
        std::string read;
    };
    const unsigned char group[] = {239, 1, 2, 3}, none[] = {0, 0, 0, 0};
    bytes v1 = {0x11, 0, 0, 0, 0, 0, 0, 0};
    bytes v2 = {0x11, 100, 0, 0, 239, 1, 2, 3};
    bytes report = {0x16, 0, 0, 0, 239, 1, 2, 3};
    bytes cut = igmp_packet(igmp_v3(100, {0, 0, 0, 0}, 125, 0, 0));
    cut.pop_back();
    bytes header_alone = igmp_packet(v1);
    header_alone.resize(24);
    const query_case cases[] = {
        {"IGMPv1: eight bytes, no response time", igmp_packet(v1), false, "IGMPv1 general 0 s from 10.1"},
        {"IGMPv2 for a group", igmp_packet(v2), false, "IGMPv2 group 0 s from 10.1"},
        {"IGMPv3 general", igmp_packet(igmp_v3(100, {none[0], none[1], none[2], none[3]}, 125, 0, 0)),
         false, "IGMPv3 general 125 s from 10.1"},
        {"IGMPv3 interval past 127: mantissa and exponent",
         igmp_packet(igmp_v3(100, {none[0], none[1], none[2], none[3]}, 0x91, 0, 0)), false,
         "IGMPv3 general 272 s from 10.1"},
        {"IGMPv3 for a group and its sources, no options",
         igmp_packet(igmp_v3(100, {group[0], group[1], group[2], group[3]}, 20, 2, 2), 0), false,
         "IGMPv3 group 20 s from 10.1"},
        {"IGMPv3 listing more sources than it holds",
         igmp_packet(igmp_v3(100, {group[0], group[1], group[2], group[3]}, 20, 2, 1)), false, "none"},
        {"a length no version has", igmp_packet(bytes{0x11, 100, 0, 0, 0, 0, 0, 0, 0, 0}), false, "none"},
        {"a report is not a query", igmp_packet(report), false, "none"},
        {"a bad checksum", igmp_packet(v2, 1, false), false, "none"},
        {"a packet cut short", cut, false, "none"},
        {"an IPv4 header alone", header_alone, false, "none"},
        {"MLDv1 general", mld(130, 24, false, 0, 0), true, "MLDv1 general 0 s from 254.1"},
        {"MLDv2 for a group", mld(130, 28, true, 60, 0), true, "MLDv2 group 60 s from 254.1"},
        {"MLDv2 listing a source it lacks", mld(130, 28, true, 60, 1), true, "none"},
        {"MLDv2 with its source", mld(130, 44, true, 60, 1), true, "MLDv2 group 60 s from 254.1"},
        {"MLD: a length no version has", mld(130, 26, false, 0, 0), true, "none"},
        {"an MLDv2 report is not a query", mld(143, 28, false, 0, 0), true, "none"},
        {"MLD cut short", mld(130, 20, false, 0, 0), true, "none"},
    };
    unsigned char source[16] = {0xfe, 0x80};
    source[15] = 1;
    for (const query_case &c : cases) {
        query_reading q = {};
        // A buffer of exactly the bytes, so that a sanitizer sees a read past them.
        std::vector<unsigned char> exact(c.data);
        int found = c.ipv6 ? read_mld_query(exact.data(), exact.size(), source, &q)
                           : read_igmp_query(exact.data(), exact.size(), &q);
        EXPECT_EQ(described(found, q), c.read) << c.name;
    }
}

// The view's title names the link whose last query (or join) is oldest, and the querier heard
// last there; a watch of any interface takes the last querier of any.
TEST(StalestLink, IsTheLinkLongestWithoutAQueryWithItsLastQuerier)
{
    querier_table table = {};
    table.count = 3;
    table.entries[0] = querier_entry{2, QUERY_IGMP_V3, {10, 0, 0, 1}, 125, 4, 1000};
    table.entries[1] = querier_entry{3, QUERY_IGMP_V2, {10, 0, 1, 1}, 0, 1, 5000};
    table.entries[2] = querier_entry{3, QUERY_IGMP_V3, {10, 0, 1, 2}, 125, 1, 9000};
    struct row {
        const char *name;
        std::vector<query_watch> watches;
        bool found;
        uint64_t silent_us;
        int querier;  // its entry, or -1: none
    };
    const row rows[] = {
        {"no watches: queries are not heard", {}, false, 0, -1},
        {"the older of two links", {{2, "eth0", 700, false}, {3, "eth1", 400, false}}, true, 600, 2},
        {"a link that heard none since the join", {{7, "eth7", 100, false}}, true, 900, -1},
        {"any interface: the last querier of any", {{0, nullptr, 800, false}}, true, 200, 2},
        {"a clock behind the watch", {{2, "eth0", 1500, false}}, true, 0, 0},
    };
    for (const row &r : rows) {
        uint64_t silent_us = 1;
        const querier_entry *querier = &table.entries[0];
        bool found = stalest_link(r.watches.data(), static_cast<int>(r.watches.size()), &table,
                                  1000, &silent_us, &querier);
        EXPECT_EQ(found, r.found) << r.name;
        if (!found)
            continue;
        EXPECT_EQ(silent_us, r.silent_us) << r.name;
        EXPECT_EQ(querier, r.querier < 0 ? nullptr : &table.entries[r.querier]) << r.name;
    }
}

} // namespace
