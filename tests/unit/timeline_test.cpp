// A stream's timeline against its senders' accounting: random runs of two senders (gaps, late
// numbers, duplicates, restarts, times from microseconds to days apart) through stream_take,
// each datagram counted into the timeline as the loop counts it. After every datagram the
// intervals sum to what was counted and the latest time falls in the latest interval; at the
// end they sum to the senders' totals, and every outage noted lies inside a span kept.
#include "monitor/timeline.h"

#include <gtest/gtest.h>

#include <string.h>

#include <memory>
#include <random>

#include "monitor/stream.h"
#include "net/address.h"

namespace {

struct run_row {
    const char *name;
    unsigned seed;
    int datagrams;
    uint64_t step_max_us;    // the most between two datagrams at first; it grows tenfold
    int grow_every;          // every this many datagrams
};

TEST(Timeline, IntervalsSumToTheSendersTotalsThroughEveryMerge)
{
    const run_row rows[] = {
        {"a second of steady traffic: no merge", 1, 2000, 400, 1000000},
        {"minutes: merges as it goes", 2, 5000, 1000, 500},
        {"days apart at the end: many merges at once", 3, 3000, 10, 300},
        {"sparse, long outages, the spans merge", 4, 4000, 5000000, 4000},
    };
    endpoint from[2];
    int code;
    ASSERT_EQ(find_host("10.0.0.1", AF_INET, &from[0], &code), 0);
    ASSERT_EQ(find_host("10.0.0.2", AF_INET, &from[1], &code), 0);
    seq_layout classic = classic_layout(false);
    for (const run_row &row : rows) {
        SCOPED_TRACE(row.name);
        std::mt19937_64 random(row.seed);
        auto table = std::make_unique<sender_table>();
        ASSERT_EQ(senders_open(table.get(), 60000000, 1), 0);
        auto line = std::make_unique<timeline>();
        const uint64_t origin_us = 1000000;
        timeline_start(line.get(), origin_us, 1000);
        stream_judge judge;
        judge_start(&judge, &classic, nullptr, 0, nullptr, 0);
        judge_settings settings = {false, false, true};
        int64_t next[2] = {1, 1000};
        uint64_t at_us = origin_us, step_us = row.step_max_us, counted = 0;
        std::vector<outage_span> noted;
        for (int i = 0; i < row.datagrams; i++) {
            if (i > 0 && i % row.grow_every == 0)
                step_us *= 10;
            at_us += random() % step_us;
            int sender = static_cast<int>(random() % 2);
            unsigned kind = random() % 20;
            // Mostly the next number; else a gap, a step back (late or duplicate), a restart.
            int64_t seq = kind < 14   ? next[sender]
                          : kind < 17 ? next[sender] + static_cast<int64_t>(random() % 50)
                          : kind < 19 ? next[sender] - 1 - static_cast<int64_t>(random() % 40)
                                      : next[sender] + 200000;
            if (seq >= next[sender])
                next[sender] = seq + 1;
            unsigned char payload[16] = {};
            memcpy(payload + 4, &seq, 8);
            received_datagram datagram = {};
            datagram.buffer = payload;
            datagram.size = sizeof payload;
            datagram.length_bytes = 12;
            datagram.from = from[sender];
            datagram.at_us = at_us;
            datagram.arrival_utc_us = at_us;
            take_outcome out = stream_take(&judge, &settings, table.get(), 0, &datagram);
            timeline_count(line.get(), at_us, out.missed_numbers, out.late_numbers);
            if (out.kind == SEQ_GAP && out.sender_before_utc_us != 0) {
                timeline_outage(line.get(), out.sender_before_utc_us, at_us);
                noted.push_back({out.sender_before_utc_us, at_us});
            }
            counted++;
            ASSERT_EQ(timeline_total(line.get()).datagrams, counted);
            uint64_t latest_from_us =
                origin_us + static_cast<uint64_t>(line->used - 1) * line->interval_us;
            ASSERT_LE(latest_from_us, at_us);
            ASSERT_LT(at_us, latest_from_us + line->interval_us);
        }
        sender_census census;
        track_counts total = senders_total(table.get(), 0, &census);
        timeline_interval sum = timeline_total(line.get());
        EXPECT_EQ(sum.datagrams, total.datagrams);
        EXPECT_EQ(sum.missed, total.missed);
        EXPECT_EQ(sum.late, total.late);
        EXPECT_EQ(sum.missed - sum.late, total.lost);
        ASSERT_LE(line->outage_count, TIMELINE_OUTAGES);
        for (int i = 1; i < line->outage_count; i++)
            EXPECT_LE(line->outages[i - 1].from_utc_us, line->outages[i].from_utc_us);
        for (const outage_span &span : noted) {
            bool inside = false;
            for (int i = 0; i < line->outage_count; i++)
                inside = inside || (line->outages[i].from_utc_us <= span.from_utc_us &&
                                    span.to_utc_us <= line->outages[i].to_utc_us);
            EXPECT_TRUE(inside) << span.from_utc_us << " to " << span.to_utc_us;
        }
        senders_close(table.get());
    }
}

// Host drops land in the interval of the time they were found, and stay there through merges.
TEST(Timeline, HostDropsStayInTheirIntervalThroughMerges)
{
    auto line = std::make_unique<timeline>();
    timeline_start(line.get(), 0, 10);
    timeline_drops(line.get(), 25, 3);            // interval 2 of 10 us
    timeline_count(line.get(), 10 * TIMELINE_INTERVALS * 4 - 1, 0, 0);  // merged twice: 40 us
    EXPECT_EQ(line->interval_us, 40u);
    EXPECT_EQ(line->intervals[0].host_drops, 3u);
    EXPECT_EQ(line->used, TIMELINE_INTERVALS);
    timeline_drops(line.get(), 45, 2);
    EXPECT_EQ(line->intervals[1].host_drops, 2u);
    EXPECT_EQ(timeline_total(line.get()).host_drops, 5u);
}

} // namespace
