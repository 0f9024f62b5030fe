#include "monitor/monitor.h"
#include "monitor/pace.h"
#include "monitor/histogram.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <memory>
#include <string>
#include <vector>

#include "base/output.h"
#include "output/sink.h"

namespace {

struct sequence_case {
    std::vector<unsigned char> datagram;
    bool short_seq;
    int64_t expected;
};

const sequence_case sequence_cases[] = {
    {{0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}, false, 1},
    {{9, 9, 9, 9, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0xee}, false,
     0x0102030405060708LL},
    {{0, 0, 0, 0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, false, -1},
    {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80}, false, std::numeric_limits<int64_t>::min()},
    // Without -f the first four bytes are ignored.
    {{0xff, 0xff, 0xff, 0xff, 2, 0, 0, 0, 0, 0, 0, 0}, false, 2},
    {{0xff, 0xff, 0xff, 0xff}, true, -1},
    {{0xff, 0xff, 0xff, 0x7f, 0xaa}, true, 2147483647},
    {{0x00, 0x00, 0x00, 0x80}, true, -2147483648LL},
    {{0x01, 0x02, 0x03, 0x04, 0xff, 0xff}, true, 0x04030201},
    // Short datagrams: the bytes that did not arrive read as zero.
    {{0, 0, 0, 0, 0x01, 0x02}, false, 513},
    {{0xff, 0xff}, true, 65535},
    {{0xff, 0xff, 0xff}, true, 0xffffff},
    {{}, true, 0},
    {{}, false, 0},
    {{1, 2, 3, 4}, false, 0},
    {{1, 2, 3, 4, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, false, 0x00ffffffffffffffLL},
};

TEST(ReadSequence, ReadsBothLayoutsAndShortDatagrams)
{
    for (const sequence_case &c : sequence_cases) {
        // The bytes are copied to the heap at their exact length, so that a read past the
        // datagram's end is caught by AddressSanitizer.
        unsigned char *datagram = new unsigned char[c.datagram.size() + 1];
        std::copy(c.datagram.begin(), c.datagram.end(), datagram);
        EXPECT_EQ(read_sequence(datagram, c.datagram.size(), c.short_seq), c.expected)
            << "length " << c.datagram.size() << (c.short_seq ? " -f" : "");
        delete[] datagram;
    }
}

// A layout as the command line gives it: "rtp", or "4:8:be" with " count 2:1" after it.
seq_layout layout_of(const std::string &text)
{
    seq_layout layout = {};
    if (find_layout_preset(text.c_str(), &layout) == 0)
        return layout;
    layout.given = true;
    size_t count_at = text.find(" count ");
    EXPECT_EQ(parse_seq_field(text.substr(0, count_at).c_str(), false, &layout.seq), 0) << text;
    layout.have_count = count_at != std::string::npos;
    if (layout.have_count) {
        EXPECT_EQ(parse_seq_field(text.substr(count_at + 7).c_str(), true, &layout.count), 0);
    }
    return layout;
}

TEST(ReadLayout, ReadsEachFieldWidthAndOrderAndRefusesShortDatagrams)
{
    struct layout_case {
        const char *layout;
        std::vector<unsigned char> datagram;
        size_t length;         // 0: the datagram's own; more: zeros pad it to this length
        uint64_t seq;
        uint32_t count;        // 0 with seq 0 and too_short: too short
        bool too_short;
    };
    const std::vector<unsigned char> mold = {'S', 'E', 'S', 'S', 'I', 'O', 'N', ' ', ' ', ' ',
                                             1, 2, 3, 4, 5, 6, 7, 8, 0, 3};
    std::vector<unsigned char> mold_end = mold;
    mold_end[18] = mold_end[19] = 0xff;
    const layout_case cases[] = {
        {"rtp", {0x80, 0x60, 0xff, 0xfe, 0, 0, 0, 0, 0, 0, 0, 0}, 0, 65534, 1, false},
        {"rtp", {0x80, 0x60, 0xff}, 0, 0, 0, true},
        {"moldudp64", mold, 0, 0x0102030405060708u, 3, false},
        {"moldudp64", mold_end, 0, 0x0102030405060708u, 0, false},  // end of session
        {"moldudp64", {mold.begin(), mold.end() - 1}, 0, 0, 0, true},
        {"mdp3", {1, 2, 3, 4, 9}, 0, 0x04030201u, 1, false},
        {"0:4:be", {1, 2, 3, 4}, 0, 0x01020304u, 1, false},
        {"4:8:be", {0, 0, 0, 0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xfe}, 0,
         UINT64_MAX - 1, 1, false},
        {"4:8:be", {0, 0, 0, 0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, 0, 0, 0, true},
        {"4:4:le count 2:1", {0, 0, 20, 0, 7, 0, 0, 0}, 0, 7, 20, false},
        {"0:2 count 2:4:be", {1, 0, 0, 1, 0, 0}, 0, 1, 65536, false},
        // At the end of the largest datagram, and one byte short of it.
        {"65505:2:be", {}, 65507, 0, 1, false},
        {"65505:2:be", {}, 65506, 0, 0, true},
    };
    for (const layout_case &c : cases) {
        seq_layout layout = layout_of(c.layout);
        // Copied to the heap at its exact length: a read past the end is caught by ASan.
        size_t length = c.length != 0 ? c.length : c.datagram.size();
        std::vector<unsigned char> bytes(c.datagram);
        bytes.resize(length);
        std::unique_ptr<unsigned char[]> datagram(new unsigned char[length]);
        std::copy(bytes.begin(), bytes.end(), datagram.get());
        seq_reading reading = read_layout(&layout, datagram.get(), length);
        SCOPED_TRACE(std::string(c.layout) + ", length " + std::to_string(length));
        EXPECT_EQ(reading.too_short, c.too_short);
        if (!c.too_short) {
            EXPECT_EQ(static_cast<uint64_t>(reading.seq), c.seq);
            EXPECT_EQ(reading.count, c.count);
        }
    }
}

// Percentiles from the buckets against an exact sort of the same times: never below the exact
// one, and above it by at most the documented resolution (26 %, or 1 us).
TEST(Histogram, PercentilesWithinTheBucketsResolutionOfAnExactSort)
{
    struct distribution {
        const char *name;
        uint64_t (*draw)(std::mt19937_64 &random);
    };
    const distribution distributions[] = {
        {"steady 100 us", [](std::mt19937_64 &) -> uint64_t { return 100; }},
        {"uniform to 2 ms", [](std::mt19937_64 &r) -> uint64_t { return r() % 2000; }},
        {"bursts and pauses",
         [](std::mt19937_64 &r) -> uint64_t { return r() % 10 == 0 ? 300000 + r() % 5000 : r() % 20; }},
        {"spread over decades",
         [](std::mt19937_64 &r) -> uint64_t { return uint64_t(1) << (r() % 27); }},
    };
    auto times = std::make_unique<histogram>();
    for (const distribution &d : distributions) {
        SCOPED_TRACE(d.name);
        std::mt19937_64 random(7);
        histogram_clear(times.get());
        std::vector<uint64_t> exact;
        for (int i = 0; i < 10001; i++) {
            exact.push_back(d.draw(random));
            histogram_add(times.get(), exact.back());
        }
        std::sort(exact.begin(), exact.end());
        for (unsigned percent : {1u, 50u, 90u, 99u, 100u}) {
            uint64_t truth = exact[(exact.size() * percent + 99) / 100 - 1];
            uint64_t read = histogram_percentile_us(times.get(), percent);
            EXPECT_GE(read, truth) << "p" << percent;
            EXPECT_LE(read, truth + truth * 26 / 100 + 1) << "p" << percent;
        }
        EXPECT_EQ(histogram_percentile_us(times.get(), 100), exact.back());
        EXPECT_EQ(histogram_count_to(times.get(), 1000),
                  uint64_t(std::upper_bound(exact.begin(), exact.end(), 1000) - exact.begin()));
    }
}

struct gap_case {
    int64_t last_seq;
    int64_t seq;
    const char *line; // the message printed, or "" for none
    uint32_t missed;
};

const int64_t max64 = std::numeric_limits<int64_t>::max();
const int64_t min64 = std::numeric_limits<int64_t>::min();

const gap_case gap_cases[] = {
    {10, 11, "", 0},
    {10, 12, "Missed packet: 11", 1},
    {10, 15, "Missed packets: 11 - 14", 4},
    {10, 10, "Extra packet: 10", 0},
    {10, 3, "Extra packet: 3", 0},
    {3, 11, "Missed packets: 4 - 10", 7},
    {NO_SEQUENCE, 12345, "", 0},
    {NO_SEQUENCE, -7, "", 0},
    {-2, -1, "", 0},
    {-2, 0, "Missed packet: -1", 1},
    // The 32-bit form wraps from the largest number to the smallest: that is no successor.
    {2147483647, -2147483648LL, "Extra packet: -2147483648", 0},
    // Only the low 32 bits of a long jump are counted.
    {0, 0x100000005LL, "Missed packets: 1 - 4294967300", 4},
    {0, 0x100000000LL, "Missed packets: 1 - 4294967295", 0xffffffffu},
    // Sums wrap modulo 2^64 and comparisons are signed.
    {max64, min64, "", 0},
    {max64 - 1, min64, "Missed packet: 9223372036854775807", 1},
    {max64, min64 + 1, "Missed packet: -9223372036854775808", 1},
    // At the top of the range last + 2 wraps below a repeat, which then counts as a jump.
    {max64, max64, "Missed packets: -9223372036854775808 - 9223372036854775806", 0xffffffffu},
    {min64, max64, "Missed packets: -9223372036854775807 - 9223372036854775806", 0xfffffffeu},
};

TEST(FindGap, ReportsMissedAndExtraNumbersAsTheTextSinkPrintsThem)
{
    text_sink text;
    seq_layout layout = classic_layout(false);
    stream_label label = {nullptr, nullptr, &layout};
    event_head head = {&label, 1700000000123000u};
    text_sink_start(&text, false);
    for (const gap_case &c : gap_cases) {
        gap_event event = {nullptr, find_gap(c.seq, c.last_seq), false, SEQ_NEXT, false, 0};
        std::string context = std::to_string(c.last_seq) + " then " + std::to_string(c.seq);
        EXPECT_EQ(event.gap.missed, c.missed) << context;
        if (c.line[0] == '\0') {
            EXPECT_EQ(event.gap.kind, GAP_NONE) << context;
            continue;
        }
        testing::internal::CaptureStdout();
        text.calls.gap(&text.calls, &head, &event);
        output_flush();
        std::string out = testing::internal::GetCapturedStdout();
        size_t prefix_length = sizeof "[hh:mm:ss.mmm] [info] " - 1;
        ASSERT_GT(out.size(), prefix_length) << context;
        EXPECT_EQ(out.substr(prefix_length), std::string(c.line) + "\n") << context;
        EXPECT_EQ(out.substr(prefix_length - 7, 7), "[info] ") << context;
        // The line says when the event happened, to the millisecond.
        EXPECT_EQ(out.substr(9, 5), ".123]") << context;
    }
}

// The nap after a drained queue, against the 500 us and quarter-buffer rule of a default Linux
// socket (212,992 bytes).
TEST(NapAfterDrain, LetsAboutThreeQuartersOfABatchQueueWithinRoomAndLimit)
{
    struct nap_case {
        int64_t most_us;
        int count;
        uint64_t bytes;
        int64_t interval_us;
        int64_t nap_us;
    };
    const nap_case cases[] = {
        {500, 1, 64, 10, 0},             // quiet: a single datagram, so wait for the next
        {500, 0, 0, 1000, 0},
        {500, 50, 50 * 64, 500, 480},    // 100,000 a second: 48 queue in 480 us
        {500, 100, 100 * 64, 500, 240},  // a drained backlog: faster, so shorter
        {500, 2, 128, 1000, 500},        // 2,000 a second: the limit holds lines back no longer
        {500, 40, 40 * 1316, 500, 284},  // video of 1316-byte datagrams: the room comes first
        {500, 60000, 60000, 100, 0},     // 48 queue within a microsecond: no nap
        {500, 2, 128, 0, 24},            // too quick for the clock to see: as if 1 us
        {0, 50, 50 * 64, 500, 0},        // where the platform does not nap
    };
    for (const nap_case &c : cases) {
        nap_rule rule = {c.most_us, 64, 212992 / 4};
        EXPECT_EQ(nap_after_drain_us(&rule, c.count, c.bytes, c.interval_us), c.nap_us)
            << c.count << " in " << c.interval_us << " us";
    }
}

} // namespace
