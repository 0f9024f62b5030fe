// A stream's judgement of its datagrams, without a loop: each row sends datagrams from two
// senders at given times and reads what each was (the -g check's gap with its outage) and the
// delays from the sender's clock, compared within a sender and across the stream.
#include "monitor/stream.h"

#include <gtest/gtest.h>

#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "net/address.h"

namespace {

struct sent {
    int sender;              // 0 or 1
    int64_t seq;
    uint32_t count;          // with the counting layout
    uint64_t at_us;          // arrival, microseconds on both clocks
};

struct judge_row {
    const char *name;
    bool per_sender;
    bool stamps;
    bool counting;           // --seq 0:8:be --seq-count 8:2:be, the sender's clock at 10:8:be:us
    std::vector<sent> datagrams;
    std::vector<std::string> said;  // per datagram with a gap: "missed 3-4 after 300 us"
    uint64_t delay_max_us;
};

std::string said_of(const take_outcome &out)
{
    const gap_report &gap = out.gap;
    std::string text = gap.kind == GAP_EXTRA ? "extra " + std::to_string(gap.first)
                                             : "missed " + std::to_string(gap.first);
    if (gap.kind == GAP_MISSED_RUN)
        text += "-" + std::to_string(gap.last);
    if (out.have_outage)
        text += " after " + std::to_string(out.outage_us) + " us";
    return text;
}

TEST(StreamTake, GapsOutagesAndDelaysWithinASenderAndAcrossTheStream)
{
    const judge_row rows[] = {
        {"classic, across the stream", false, true, false,
         {{0, 1, 1, 1000}, {0, 2, 1, 1100}, {0, 5, 1, 1400}}, {"missed 3-4 after 300 us"}, 0},
        {"without stamps, no outage", false, false, false,
         {{0, 1, 1, 1000}, {0, 2, 1, 1100}, {0, 5, 1, 1400}}, {"missed 3-4"}, 0},
        // Across the stream each datagram is compared with the last of either sender.
        {"two senders, across the stream", false, true, false,
         {{0, 1, 1, 1000}, {1, 10, 1, 1050}, {0, 2, 1, 1100}, {1, 12, 1, 1300}},
         {"missed 2-9 after 50 us", "extra 2", "missed 3-11 after 200 us"}, 0},
        // Within a sender its own previous datagram is the one compared, and timed.
        {"two senders, within each", true, true, false,
         {{0, 1, 1, 1000}, {1, 10, 1, 1050}, {0, 2, 1, 1100}, {1, 12, 1, 1300}},
         {"missed 11 after 250 us"}, 0},
        // A count: 10 to 12, then 15; the sender's clock 400 us behind at most.
        {"a counting layout with the sender's clock", false, true, true,
         {{0, 10, 3, 1000}, {0, 15, 1, 1100}}, {"missed 13-14 after 100 us"}, 400},
    };
    endpoint senders[2];
    int code;
    ASSERT_EQ(find_host("10.0.0.1", AF_INET, &senders[0], &code), 0);
    ASSERT_EQ(find_host("10.0.0.2", AF_INET, &senders[1], &code), 0);
    seq_field seq = {0, 8, true}, count = {8, 2, true};
    seq_layout counting = given_layout(&seq, &count);
    seq_layout classic = classic_layout(false);
    time_field clock = {{10, 8, true}, 1000};
    for (const judge_row &row : rows) {
        SCOPED_TRACE(row.name);
        // Each entry keeps a window of bits: the table is too large for the stack.
        auto table = std::make_unique<sender_table>();
        ASSERT_EQ(senders_open(table.get(), 60000000, 1), 0);
        stream_judge judge;
        judge_start(&judge, row.counting ? &counting : &classic, row.counting ? &clock : nullptr,
                    0, nullptr, 0);
        judge_settings settings = {true, row.per_sender, row.stamps};
        std::vector<std::string> said;
        for (const sent &d : row.datagrams) {
            unsigned char payload[32] = {};
            received_datagram datagram = {};
            datagram.buffer = payload;
            datagram.size = sizeof payload;
            datagram.length_bytes = row.counting ? 18 : 12;
            if (row.counting) {
                write_field(&seq, payload, static_cast<uint64_t>(d.seq));
                write_field(&count, payload, d.count);
                write_field(&clock.field, payload, d.at_us - 400 + 300 * (d.seq % 2));
            } else {
                memcpy(payload + 4, &d.seq, 8);
            }
            datagram.from = senders[d.sender];
            datagram.at_us = d.at_us;
            datagram.arrival_utc_us = d.at_us;
            take_outcome out = stream_take(&judge, &settings, table.get(), 0, &datagram);
            EXPECT_TRUE(out.where.placed);
            if (out.gap.kind != GAP_NONE)
                said.push_back(said_of(out));
        }
        EXPECT_EQ(said, row.said);
        EXPECT_EQ(delay_figures_of(&judge.delays).max_us, row.delay_max_us);
        senders_close(table.get());
    }
}

} // namespace
