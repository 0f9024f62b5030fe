#include "monitor/ts.h"

#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<unsigned char>;

struct packet_shape {
    int pid;
    int counter;
    bool payload = true;
    bool adaptation = false;
    bool restart = false;       // the discontinuity indicator
    unsigned char fill = 0xa5;  // what the payload holds
    bytes section = {};         // a section the payload carries, from its start or (second) on
    bool second = false;        // from its 184th byte on, where the first packet left it
    bool scrambled = false;
};

// A section of the long syntax: table id, id, then the body, closed by its CRC (spoiled where
// asked).
bytes section_of(int table_id, int id, const bytes &body, bool bad_crc = false)
{
    size_t length = 5 + body.size() + 4;
    bytes out(3 + length);
    const unsigned char head[] = {static_cast<unsigned char>(table_id),
                                  static_cast<unsigned char>(0xb0 | (length >> 8)),
                                  static_cast<unsigned char>(length),
                                  static_cast<unsigned char>(id >> 8),
                                  static_cast<unsigned char>(id), 0xc1, 0, 0};
    for (size_t i = 0; i < out.size() - 4; i++)
        out[i] = i < 8 ? head[i] : body[i - 8];
    uint32_t crc = ts_crc32(out.data(), out.size() - 4) ^ (bad_crc ? 1u : 0u);
    for (size_t i = 0; i < 4; i++)
        out[out.size() - 4 + i] = static_cast<unsigned char>(crc >> (24 - 8 * i));
    return out;
}

// A PAT naming program 1's PMT on PID 0x1000.
bytes pat_section(bool bad_crc = false)
{
    return section_of(0x00, 1, {0x00, 0x01, 0xf0, 0x00}, bad_crc);
}

// Program 1's PMT naming PIDs 256 and 257, or as many from 256 on (each with info bytes of
// padding, for a section that spans packets).
bytes pmt_section(size_t info_bytes = 0, int table_id = 0x02, int pid_count = 2)
{
    bytes body = {0xe1, 0x00, 0xf0, 0x00};
    for (int pid = 256; pid < 256 + pid_count; pid++) {
        bytes entry = {0x1b, static_cast<unsigned char>(0xe0 | (pid >> 8)),
                       static_cast<unsigned char>(pid),
                       static_cast<unsigned char>(0xf0 | (info_bytes >> 8)),
                       static_cast<unsigned char>(info_bytes)};
        body.insert(body.end(), entry.begin(), entry.end());
        body.insert(body.end(), info_bytes, 0x00);
    }
    return section_of(table_id, 1, body);
}

void put_packet(bytes *out, const packet_shape &p)
{
    size_t at = out->size();
    out->resize(at + TS_PACKET_BYTES, p.fill);
    unsigned char *packet = out->data() + at;
    packet[0] = TS_SYNC_BYTE;
    bool unit_start = !p.section.empty() && !p.second;
    packet[1] = static_cast<unsigned char>((unit_start ? 0x40 : 0) | (p.pid >> 8));
    packet[2] = static_cast<unsigned char>(p.pid);
    bool adaptation = p.adaptation || p.restart || !p.payload;
    packet[3] = static_cast<unsigned char>((p.scrambled ? 0x80 : 0) | (adaptation ? 0x20 : 0) |
                                           (p.payload ? 0x10 : 0) | (p.counter & 0x0f));
    if (adaptation) {
        packet[4] = p.payload ? 7 : 183;
        packet[5] = p.restart ? 0x80 : 0;
    }
    if (p.section.empty())
        return;
    memset(packet + 4, 0xff, TS_PACKET_BYTES - 4);
    size_t from = p.second ? TS_PACKET_BYTES - 5 : 0;
    size_t start = unit_start ? 5 : 4;
    if (unit_start)
        packet[4] = 0;
    size_t part = std::min(p.section.size() - from, TS_PACKET_BYTES - start);
    memcpy(packet + start, p.section.data() + from, part);
}

struct collected {
    std::vector<ts_error> errors;
};

void collect(void *context, const ts_error *error)
{
    static_cast<collected *>(context)->errors.push_back(*error);
}

std::string describe(const ts_error &e)
{
    std::string text = ts_check_name(e.check);
    if (e.check == TS_CONTINUITY)
        text += " pid " + std::to_string(e.pid) + " " + std::to_string(e.expected) + "->" +
                std::to_string(e.got) + " missing " + std::to_string(e.missing) + " " +
                ts_cause_name(e.cause);
    if (e.fault != TS_NO_FAULT)
        text += std::string(" ") + ts_fault_name(e.fault) + " pid " + std::to_string(e.pid) +
                (e.fault == TS_TABLE_ID ? " table " + std::to_string(e.got) : "") +
                (e.program >= 0 ? " program " + std::to_string(e.program) : "");
    return text;
}

// One datagram's payload: packets, and bytes to take off the end (or junk to add), and when it
// came.
struct datagram_shape {
    std::vector<packet_shape> packets;
    ts_numbering numbering = TS_IN_ORDER;
    int trailing_bytes = 0;
    uint64_t at_ms = 0;
};

// Shapes of the tables' packets, counters given.
packet_shape pat(int counter, bool bad_crc = false)
{
    return {0, counter, true, false, false, 0xa5, pat_section(bad_crc)};
}

packet_shape pmt(int counter, size_t info_bytes = 0, int table_id = 0x02, bool second = false,
                 int pid_count = 2)
{
    return {0x1000, counter, true, false, false, 0xa5,
            pmt_section(info_bytes, table_id, pid_count), second};
}

struct rule_case {
    const char *name;
    std::vector<datagram_shape> datagrams;
    std::vector<std::string> errors;
    uint64_t packets;
    uint8_t limits_passed = 0;  // TS_PAST_*
};

const rule_case rule_cases[] = {
    {"in order across the wrap 15 to 0",
     {{{{256, 14}, {256, 15}, {256, 0}, {256, 1}}}}, {}, 4},
    {"a legal repeat", {{{{256, 3}, {256, 3}, {256, 4}}}}, {}, 3},
    {"a second repeat",
     {{{{256, 3}, {256, 3}, {256, 3}, {256, 4}}}}, {"continuity pid 256 4->3 missing 0 source"}, 4},
    {"a repeat is of the last counter only",
     {{{{256, 3}, {256, 4}, {256, 3}}}}, {"continuity pid 256 5->3 missing 14 source"}, 3},
    {"an adaptation-only packet keeps the counter",
     {{{{256, 3}, {256, 3, false}, {256, 9, false}, {256, 4}}}}, {}, 4},
    {"the discontinuity indicator starts again",
     {{{{256, 3}, {256, 11, true, true, true}, {256, 12}}}}, {}, 3},
    {"the null PID is not judged",
     {{{{TS_NULL_PID, 0}, {TS_NULL_PID, 0}, {TS_NULL_PID, 0}, {TS_NULL_PID, 9}}}}, {}, 4},
    {"a skip within one datagram is the source's",
     {{{{256, 1}, {256, 4}}}}, {"continuity pid 256 2->4 missing 2 source"}, 2},
    {"a skip across skipped datagram numbers is the network's",
     {{{{256, 1}, {257, 1}}}, {{{257, 2}, {256, 5}}, TS_AFTER_LOSS}},
     {"continuity pid 256 2->5 missing 3 network"}, 4},
    {"the network's loss stays with a PID until its next packet",
     {{{{256, 1}, {257, 1}}}, {{{257, 3}}, TS_AFTER_LOSS}, {{{257, 5}, {256, 3}}}},
     {"continuity pid 257 2->3 missing 1 network", "continuity pid 257 4->5 missing 1 source",
      "continuity pid 256 2->3 missing 1 network"}, 5},
    {"without datagram numbers the cause is unknown",
     {{{{256, 1}, {256, 3}}, TS_UNNUMBERED}}, {"continuity pid 256 2->3 missing 1 unknown"}, 2},
    {"a payload of 1,000 bytes leaves a part of a packet",
     {{{{256, 0}, {256, 1}, {256, 2}, {256, 3}, {256, 4}}, TS_IN_ORDER, 60}}, {"sync_byte"}, 5},
    {"a PAT and a PMT every 0.4 s, and PIDs within the timeout",
     {{{pat(0), pmt(0), {256, 0}, {257, 0}}, TS_IN_ORDER, 0, 0},
      {{pat(1), pmt(1), {256, 1}}, TS_IN_ORDER, 0, 400},
      {{pat(2), pmt(2), {256, 2}, {257, 1}}, TS_IN_ORDER, 0, 800}}, {}, 11},
    {"the PAT 0.6 s apart, said by the datagram that shows it",
     {{{pat(0)}, TS_IN_ORDER, 0, 0}, {{{256, 0}}, TS_IN_ORDER, 0, 300},
      {{pat(1)}, TS_IN_ORDER, 0, 600}, {{pat(2)}, TS_IN_ORDER, 0, 1000}},
     {"pat absent pid 0", "pmt absent pid 4096 program 1"}, 4},
    {"the PAT gone is said once until it comes again",
     {{{pat(0)}, TS_IN_ORDER, 0, 0}, {{{256, 0}}, TS_IN_ORDER, 0, 600},
      {{{256, 1}}, TS_IN_ORDER, 0, 1200}, {{pat(1)}, TS_IN_ORDER, 0, 1300},
      {{{256, 2}}, TS_IN_ORDER, 0, 1900}},
     {"pat absent pid 0", "pmt absent pid 4096 program 1", "pat absent pid 0"}, 5},
    {"a PAT whose CRC fails is none",
     {{{pat(0)}, TS_IN_ORDER, 0, 0}, {{pat(1, true)}, TS_IN_ORDER, 0, 400},
      {{{256, 0}}, TS_IN_ORDER, 0, 600}}, {"pat absent pid 0", "pmt absent pid 4096 program 1"}, 3},
    {"another table on PID 0, and a scrambled packet of it",
     {{{{0, 0, true, false, false, 0xa5, section_of(0x02, 1, {0xe1, 0, 0xf0, 0})},
        {0, 1, true, false, false, 0xa5, {}, false, true}}}},
     {"pat table_id pid 0 table 2", "pat scrambled pid 0"}, 2},
    {"a PMT the PAT names and that never came",
     {{{pat(0)}, TS_IN_ORDER, 0, 0}, {{pat(1)}, TS_IN_ORDER, 0, 400},
      {{pat(2)}, TS_IN_ORDER, 0, 800}}, {"pmt absent pid 4096 program 1"}, 3},
    {"another table on a PMT's PID, and a scrambled packet of it",
     {{{pat(0), pmt(0, 0, 0x42), {0x1000, 1, true, false, false, 0xa5, {}, false, true}}}},
     {"pmt table_id pid 4096 table 66", "pmt scrambled pid 4096"}, 3},
    {"a PID the PMT names absent past the timeout, said once",
     {{{pat(0), pmt(0), {256, 0}, {257, 0}}, TS_IN_ORDER, 0, 0},
      {{pat(1), pmt(1), {256, 1}}, TS_IN_ORDER, 0, 400},
      {{pat(2), pmt(2), {256, 2}}, TS_IN_ORDER, 0, 800},
      {{pat(3), pmt(3), {256, 3}}, TS_IN_ORDER, 0, 1200},
      {{pat(4), pmt(4), {256, 4}}, TS_IN_ORDER, 0, 1600}},
     {"pid absent pid 257 program 1"}, 16},
    {"a PMT across two packets names its PIDs",
     {{{pat(0), pmt(0, 100), pmt(1, 100, 0x02, true), {256, 0}}, TS_IN_ORDER, 0, 0},
      {{pat(1), {256, 1}}, TS_IN_ORDER, 0, 400}, {{pat(2), {256, 2}}, TS_IN_ORDER, 0, 1200}},
     {"pat absent pid 0", "pmt absent pid 4096 program 1", "pid absent pid 257 program 1"}, 8},
    {"a PMT's second part after a break is not read",
     {{{pat(0), pmt(0, 100), pmt(2, 100, 0x02, true)}, TS_IN_ORDER, 0, 0},
      {{pat(1)}, TS_IN_ORDER, 0, 400}, {{pat(2)}, TS_IN_ORDER, 0, 1200}},
     {"continuity pid 4096 1->2 missing 1 source", "pat absent pid 0",
      "pmt absent pid 4096 program 1"}, 5},
    {"a PMT naming more PIDs than are watched passes the limit",
     {{{pat(0), pmt(0, 0, 0x02, false, TS_WATCHED_PIDS_MAX + 6),
        pmt(1, 0, 0x02, true, TS_WATCHED_PIDS_MAX + 6)}}}, {}, 3, TS_PAST_PIDS},
};

void PrintTo(const rule_case &c, std::ostream *os)
{
    *os << c.name;
}

class TsRules : public testing::TestWithParam<rule_case> {};

TEST_P(TsRules, CountsWhatTheRulesSay)
{
    const rule_case &c = GetParam();
    auto ts = std::make_unique<ts_stream>();
    ts_start(ts.get(), 1000000);
    collected found;
    for (const datagram_shape &d : c.datagrams) {
        bytes payload;
        for (const packet_shape &p : d.packets)
            put_packet(&payload, p);
        payload.resize(payload.size() + size_t(d.trailing_bytes), 0x47);
        ts_take(ts.get(), payload.data(), payload.size(), d.numbering, d.at_ms * 1000, collect,
                &found);
    }
    std::vector<std::string> said;
    for (const ts_error &e : found.errors)
        said.push_back(describe(e));
    EXPECT_EQ(said, c.errors);
    EXPECT_EQ(ts->counts.packets, c.packets);
    EXPECT_EQ(ts->limits_passed, c.limits_passed);
}

INSTANTIATE_TEST_SUITE_P(Table, TsRules, testing::ValuesIn(rule_cases),
                         [](const testing::TestParamInfo<rule_case> &info) {
                             std::string name;
                             for (const char *s = info.param.name; *s != 0; s++)
                                 name += isalnum(static_cast<unsigned char>(*s)) ? *s : '_';
                             return name;
                         });

// A datagram of 1,316 bytes of plain packets, judged as RTP: its first twelve bytes are taken
// for a header with seven CSRCs, so no packet after it starts on its sync byte.
TEST(TsRules, PlainPacketsJudgedAsRtpLoseTheirSyncBytes)
{
    bytes datagram;
    for (int i = 0; i < 7; i++)
        put_packet(&datagram, {256, i, true, false, false, 0x00});
    int offset = rtp_payload_offset(datagram.data(), datagram.size());
    ASSERT_EQ(offset, 12 + 7 * 4);
    auto ts = std::make_unique<ts_stream>();
    ts_start(ts.get(), TS_PID_TIMEOUT_DEFAULT_US);
    collected found;
    ts_take(ts.get(), datagram.data() + offset, datagram.size() - size_t(offset), TS_IN_ORDER,
            0, collect, &found);
    EXPECT_EQ(ts->counts.errors[TS_SYNC_BYTE_ERROR], 7u);  // six packets and a part of one
    EXPECT_EQ(ts->counts.errors[TS_CONTINUITY], 0u);
    EXPECT_EQ(ts->counts.errors[TS_SYNC_LOSS], 0u);        // sync was never gained
}

TEST(TsRules, SyncIsGainedAfterFiveAndLostAfterTwo)
{
    struct row { std::string sync_bytes; uint64_t losses; } rows[] = {
        {"gggggbb", 1}, {"ggggbb", 0}, {"gggggbgbb", 1}, {"gggggbbbbbggggbb", 1},
        {"gggggbbgggggbb", 2}, {"gggggbgbgb", 0},
    };
    for (const row &r : rows) {
        bytes payload;
        for (char c : r.sync_bytes) {
            put_packet(&payload, {TS_NULL_PID, 0});
            payload[payload.size() - TS_PACKET_BYTES] = c == 'g' ? TS_SYNC_BYTE : 0x48;
        }
        auto ts = std::make_unique<ts_stream>();
        ts_start(ts.get(), TS_PID_TIMEOUT_DEFAULT_US);
        collected found;
        ts_take(ts.get(), payload.data(), payload.size(), TS_IN_ORDER, 0, collect, &found);
        EXPECT_EQ(ts->counts.errors[TS_SYNC_LOSS], r.losses) << r.sync_bytes;
    }
}

TEST(TsRules, ReadsPastTheRtpHeadersParts)
{
    struct row { bytes header; int offset; } rows[] = {
        {{0x80, 33, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}, 12},
        {{0x81, 33, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 9, 9, 9, 9}, 16},
        {{0x90, 33, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0xbe, 0xde, 0, 1, 1, 2, 3, 4}, 20},
        {{0x90, 33, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0xbe, 0xde, 0, 2, 1, 2, 3, 4}, -1},
        {{0x80, 33, 0, 1, 0, 0, 0, 0, 0, 0, 0}, -1},
    };
    for (const row &r : rows)
        EXPECT_EQ(rtp_payload_offset(r.header.data(), r.header.size()), r.offset);
}

// The check value of CRC-32/MPEG-2, and a section mcfeed sends closed by its CRC: 0 over both.
TEST(TsRules, SectionsAreClosedByTheirCrc)
{
    const unsigned char check[] = "123456789";
    EXPECT_EQ(ts_crc32(check, 9), 0x0376e6e7u);
    const unsigned char pat[] = {0x00, 0xb0, 13, 0x00, 0x01, 0xc1, 0, 0, 0x00, 0x01, 0xf0, 0x00,
                                 0x2a, 0xb1, 0x04, 0xb2};
    EXPECT_EQ(ts_crc32(pat, sizeof pat), 0u);
}

// The model: each PID sends packets numbered 0, 1, 2, ... (its counter is the number's low four
// bits); the run removes some, repeats some, adds packets without a payload and restarts, and
// loses whole datagrams. A break is where a PID's next packet with a payload is neither the
// number after its last nor one allowed repeat of it, unless the two differ by a multiple of
// sixteen (the counter cannot tell) or it restarts; it is the network's when a datagram was
// lost between the two packets.
struct model_packet {
    packet_shape shape;
    uint64_t number;      // the PID's own count of packets with a payload
};

struct model_pid {
    uint64_t next = 0;
    bool have_last = false;
    uint64_t last = 0;
    int repeats = 0;
    size_t last_datagram = 0;
};

TEST(TsModel, MatchesTheSetOfBreaksOverRandomRuns)
{
    std::mt19937_64 random(36);
    const int pids[] = {0, 256, 257, 4000, TS_NULL_PID};
    for (int run = 0; run < 200; run++) {
        auto ts = std::make_unique<ts_stream>();
        ts_start(ts.get(), TS_PID_TIMEOUT_DEFAULT_US);
        std::map<int, uint64_t> sent_next;
        std::map<int, model_pid> model;
        std::set<size_t> lost_datagrams;
        std::multiset<std::string> expected;
        collected found;
        uint64_t packets = 0;
        std::map<int, model_packet> last_sent;
        for (size_t d = 0; d < 60; d++) {
            std::vector<model_packet> datagram;
            while (datagram.size() < 7) {
                int pid = pids[random() % 5];
                int fault = static_cast<int>(random() % 40);
                uint64_t &next = sent_next[pid];
                model_packet p = {{pid, int(next & 15)}, next};
                if (fault == 0 && last_sent.count(pid) != 0) {
                    p = last_sent[pid];              // a repeat of the last, byte for byte
                } else if (fault == 1) {
                    p.shape.payload = false;          // adaptation only: the counter stays
                    p.shape.counter = int((next - 1) & 15);
                } else {
                    if (fault == 2)
                        next += 1 + random() % 20;   // the source dropped some
                    if (fault == 3) {
                        next += random() % 16;
                        p.shape.restart = true;
                    }
                    p.number = next++;
                    p.shape.counter = int(p.number & 15);
                    last_sent[pid] = p;
                }
                datagram.push_back(p);
            }
            if (d > 0 && random() % 8 == 0) {
                lost_datagrams.insert(d);
                continue;
            }
            bytes payload;
            for (model_packet &p : datagram) {
                put_packet(&payload, p.shape);
                packets++;
                model_pid &m = model[p.shape.pid];
                bool network = lost_datagrams.upper_bound(m.last_datagram) !=
                               lost_datagrams.lower_bound(d);
                m.last_datagram = d;
                if (!p.shape.payload || p.shape.pid == TS_NULL_PID)
                    continue;
                // A step of a multiple of sixteen shows as the same counter: a repeat.
                bool same_counter = m.have_last && (p.number - m.last) % 16 == 0;
                m.repeats = same_counter && !p.shape.restart ? m.repeats + 1 : 0;
                bool broken = same_counter ? m.repeats >= 2 : (p.number - m.last) % 16 != 1;
                if (m.have_last && !p.shape.restart && broken)
                    expected.insert("continuity pid " + std::to_string(p.shape.pid) +
                                    (network ? " network" : " source"));
                m.have_last = true;
                m.last = p.number;
            }
            ts_take(ts.get(), payload.data(), payload.size(),
                    lost_datagrams.count(d - 1) != 0 ? TS_AFTER_LOSS : TS_IN_ORDER, d * 1000,
                    collect, &found);
        }
        std::multiset<std::string> said;
        uint64_t listed_errors = 0;
        for (const ts_error &e : found.errors)
            said.insert(std::string(ts_check_name(e.check)) + " pid " + std::to_string(e.pid) +
                        " " + ts_cause_name(e.cause));
        for (int i = 0; i < ts->counts.listed; i++)
            listed_errors += ts->counts.listed_pids[i].continuity_errors;
        ASSERT_EQ(said, expected) << "run " << run;
        ASSERT_EQ(ts->counts.packets, packets);
        ASSERT_EQ(listed_errors, expected.size());
        ASSERT_EQ(ts->counts.continuity[TS_NETWORK] + ts->counts.continuity[TS_SOURCE],
                  ts->counts.errors[TS_CONTINUITY]);
    }
}

// The tables' model: datagrams at random times, each carrying the PAT, the PMT and the two
// PIDs it names or not. The PAT is timed from the first datagram, the PMT from the first PAT,
// each PID from the first PMT, each absence past its limit said by the first datagram past
// it, once until what was absent comes again.
TEST(TsModel, MatchesTheAbsencesOfTheTablesAndPidsOverRandomRuns)
{
    std::mt19937_64 random(290);
    struct timed {
        std::string name;
        uint64_t limit_us;
        bool named = false, said = false;
        uint64_t last_us = 0;
    };
    for (int run = 0; run < 200; run++) {
        auto ts = std::make_unique<ts_stream>();
        ts_start(ts.get(), 1000000);
        std::vector<timed> model = {{"pat absent pid 0", 500000},
                                    {"pmt absent pid 4096 program 1", 500000},
                                    {"pid absent pid 256 program 1", 1000000},
                                    {"pid absent pid 257 program 1", 1000000}};
        std::vector<std::string> expected;
        collected found;
        int counters[4] = {};
        uint64_t now_us = 0;
        for (int d = 0; d < 40; d++) {
            now_us += random() % 8 == 0 ? 700000 : random() % 400000;
            for (timed &m : model) {
                if (d == 0 && &m == &model[0])
                    m = {m.name, m.limit_us, true, false, now_us};
                if (m.named && !m.said && now_us > m.last_us + m.limit_us) {
                    m.said = true;
                    expected.push_back(m.name);
                }
            }
            bytes payload;
            bool carried[4];
            for (int i = 0; i < 4; i++)
                carried[i] = random() % 10 < (i < 2 ? 7u : 6u);
            for (int i = 0; i < 4; i++) {
                if (!carried[i])
                    continue;
                int counter = counters[i]++ & 15;
                if (i == 0)
                    put_packet(&payload, pat(counter));
                else if (i == 1)
                    put_packet(&payload, pmt(counter));
                else
                    put_packet(&payload, {254 + i, counter});
                if (i >= 1 && !model[i].named)
                    continue;    // a PMT or PID not named yet is not timed
                model[i].last_us = now_us;
                model[i].said = false;
                model[i].named = true;
                // The PAT names the PMT, and the PMT its PIDs, from now on.
                for (int named = i + 1; named < (i == 0 ? 2 : i == 1 ? 4 : 0); named++)
                    if (!model[named].named)
                        model[named] = {model[named].name, model[named].limit_us, true, false,
                                        now_us};
            }
            put_packet(&payload, {TS_NULL_PID, 0});
            ts_take(ts.get(), payload.data(), payload.size(), TS_IN_ORDER, now_us, collect,
                    &found);
        }
        std::vector<std::string> said;
        for (const ts_error &e : found.errors)
            said.push_back(describe(e));
        ASSERT_EQ(said, expected) << "run " << run;
    }
}

}  // namespace
