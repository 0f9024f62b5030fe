#include "monitor/feed.h"
#include "monitor/feed_timeline.h"
#include "monitor/tracker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

enum field_kind { U16, F32, U32, U64 };

seq_rules rules_of(field_kind kind)
{
    seq_layout layout = classic_layout(kind == F32);
    layout.given = kind != F32;
    layout.seq.width_bytes = kind == U16 ? 2 : kind == U32 ? 4 : 8;
    return rules_for_layout(&layout);
}

// A feed whose lines are each judged by a tracker of their own, and handed over as the loop
// does; the holes decided, as "4;5-6".
struct feed_run {
    seq_rules rules;
    feed_state feed;
    std::vector<std::unique_ptr<tracker>> lines;
    std::vector<uint64_t> sessions;
    std::string holes;
    std::vector<uint64_t> dues_us;  // each hole's due time, as decided
    std::unique_ptr<feed_timeline> decided = std::make_unique<feed_timeline>();

    feed_run(field_kind kind, int line_count, uint64_t arbitration_us,
             uint64_t max_skew_us = FEED_NO_MAX_SKEW)
        : rules(rules_of(kind))
    {
        EXPECT_EQ(feed_open(&feed, &rules, line_count, arbitration_us, max_skew_us), 0);
        // Intervals of 0.1 ms: a run of the model merges them.
        feed_timeline_start(decided.get(), 0, 100);
        feed.timeline = decided.get();
        for (int line = 0; line < line_count; line++) {
            lines.push_back(std::make_unique<tracker>());
            track_start(lines.back().get(), &rules, true);
            sessions.push_back(0);
        }
    }
    ~feed_run() { feed_close(&feed); }

    void settle(uint64_t now_us, bool at_end)
    {
        feed_hole found[4];
        int count;
        do {
            count = feed_settle(&feed, now_us, at_end, found, 4);
            for (int i = 0; i < count; i++) {
                holes += (holes.empty() ? "" : ";") + std::to_string(found[i].first) +
                         (found[i].last != found[i].first ? "-" + std::to_string(found[i].last) : "");
                dues_us.push_back(found[i].due_us);
            }
        } while (count == 4);
    }

    // A new session on the line: another sender entry, so another tracker.
    void new_session(int line)
    {
        track_start(lines[line].get(), &rules, true);
        sessions[line]++;
    }

    // Returns how the line's tracker judged it; *placed is false where it placed nothing (a
    // restart's first, held until the next agrees).
    seq_class deliver(int line, int64_t seq, uint32_t count, uint64_t at_us, bool *placed = nullptr)
    {
        track_place place;
        seq_class kind = track(lines[line].get(), seq, count, 1, &place);
        if (place.placed) {
            feed_datagram datagram = {(sessions[line] << 8) ^ (uint64_t(place.epoch) << 48),
                                      kind == SEQ_FIRST || kind == SEQ_RESTART,
                                      kind == SEQ_RESTART, place.first,
                                      place.count, place.passed_end, at_us};
            while (feed_deliver(&feed, line, &datagram) == 1)
                settle(at_us, false);
        }
        settle(at_us, false);
        if (placed != nullptr)
            *placed = place.placed;
        return kind;
    }
};

// A feed of two lines: what each delivered and when (a line of -1 only lets time pass, with
// at_end the run's end), the holes decided lost in order, and the feed's counts.
struct feed_delivery {
    int line;
    int64_t first, last;    // numbers first to last, one datagram each
    uint64_t at_ms;
    bool at_end = false;
    bool new_sender = false; // the line's numbers come from another sender from here on
};

struct feed_case {
    const char *name;
    field_kind kind;
    std::vector<feed_delivery> deliveries;
    const char *holes;      // "4;5-6"
    uint64_t numbers, missed, late;
    uint64_t alone_a, alone_b, first_a, first_b;
};

// A sender started again every 50 ms (numbers 1 to 50, 10 every 10 ms, each run a new sender),
// seen by A and, lag_ms later, by B (its first run first_lag_ms later); A never has 25.
std::vector<feed_delivery> restarted_every_50_ms(int runs, uint64_t lag_ms,
                                                 uint64_t first_lag_ms = UINT64_MAX)
{
    std::vector<feed_delivery> deliveries;
    for (int run = 0; run < runs; run++)
        for (int line = 0; line < 2; line++)
            for (int64_t first = 1; first <= 50; first += 10) {
                uint64_t b_lag_ms = run == 0 && first_lag_ms != UINT64_MAX ? first_lag_ms : lag_ms;
                uint64_t at_ms = uint64_t(run) * 50 + uint64_t(first) + 9 +
                                 (line == 1 ? b_lag_ms : 0);
                bool fresh = run > 0 && first == 1;
                if (line == 0 && first == 21) {
                    deliveries.push_back({0, 21, 24, at_ms, false, fresh});
                    deliveries.push_back({0, 26, 30, at_ms});
                } else {
                    deliveries.push_back({line, first, first + 9, at_ms, false, fresh});
                }
            }
    std::stable_sort(deliveries.begin(), deliveries.end(),
                     [](const feed_delivery &a, const feed_delivery &b) { return a.at_ms < b.at_ms; });
    deliveries.push_back({-1, 0, 0, uint64_t(runs) * 50 + lag_ms + 100, true});
    return deliveries;
}

TEST(Feed, ANumberIsLostOnlyWhenNoLineDeliveredItInTime)
{
    const feed_case cases[] = {
        {"each line fills the other's hole", U64,
         {{0, 1, 3, 0}, {1, 1, 3, 1}, {1, 4, 4, 1}, {0, 5, 8, 2}, {1, 5, 6, 2}, {1, 8, 8, 2},
          {-1, 0, 0, 3, true}},
         "", 8, 0, 0, 1, 1, 7, 1},
        {"a hole on both lines, decided the arbitration time after a line passed it", U64,
         {{0, 1, 4, 0}, {1, 1, 4, 0}, {0, 7, 8, 1}, {1, 7, 7, 1}, {-1, 0, 0, 50}, {-1, 0, 0, 51}},
         "5-6", 6, 2, 0, 1, 0, 6, 0},
        {"a silent line: the arbitration time decides", U64,
         {{0, 1, 3, 0}, {0, 5, 6, 10}, {-1, 0, 0, 59}, {0, 7, 7, 61}},
         "4", 6, 1, 0, 5, 0, 6, 0},
        {"not decided before the arbitration time", U64,
         {{0, 1, 3, 0}, {0, 5, 6, 10}, {-1, 0, 0, 49}},
         "", 5, 0, 0, 0, 0, 5, 0},
        {"a reorder within the arbitration time is no loss", U64,
         {{0, 1, 3, 0}, {0, 5, 5, 0}, {1, 1, 3, 0}, {1, 5, 5, 0}, {1, 4, 4, 5}, {-1, 0, 0, 99, true}},
         "", 5, 0, 0, 0, 1, 4, 1},
        {"a number after its decision is late, and its line's alone", U64,
         {{0, 1, 3, 0}, {0, 5, 5, 0}, {1, 1, 3, 0}, {1, 5, 5, 0}, {-1, 0, 0, 51}, {1, 4, 4, 60}},
         "4", 5, 1, 1, 0, 1, 4, 1},
        {"a copy read after the other line's later ones counts at its own arrival", U64,
         {{0, 1, 3, 0}, {0, 5, 5, 0}, {1, 1, 3, 0}, {1, 5, 5, 10}, {0, 6, 7, 45}, {-1, 0, 0, 52},
          {1, 4, 4, 30}, {-1, 0, 0, 99, true}},
         "", 7, 0, 0, 2, 1, 6, 1},
        {"first is first to arrive, whichever line is read first", U64,
         {{0, 1, 3, 5}, {1, 1, 3, 4}, {-1, 0, 0, 99, true}},
         "", 3, 0, 0, 0, 0, 0, 3},
        {"first is first to arrive, though read after its number was decided", U64,
         {{1, 1, 5, 10}, {-1, 0, 0, 70}, {0, 1, 5, 5}, {-1, 0, 0, 99, true}},
         "", 5, 0, 0, 0, 0, 5, 0},
        {"16-bit numbers wrap", U16,
         {{0, 65533, 65535, 0}, {0, 1, 1, 0}, {1, 65533, 65535, 0}, {1, 1, 2, 0}, {0, 2, 2, 0},
          {-1, 0, 0, 51}},
         "0", 5, 1, 0, 0, 0, 4, 1},
        {"the end decides what is open", U64,
         {{0, 10, 12, 0}, {0, 14, 14, 0}, {-1, 0, 0, 1, true}},
         "13", 4, 1, 0, 4, 0, 4, 0},
        {"both lines lose more than the window holds", U64,
         {{0, 1, 1, 0}, {1, 1, 1, 0}, {0, 70002, 70002, 1}, {1, 70002, 70002, 1}, {-1, 0, 0, 2, true}},
         "2-70001", 2, 70000, 0, 0, 0, 2, 0},
        {"numbers across 2^63 are plain numbers", U64,
         {{0, INT64_MAX - 1, INT64_MAX - 1, 0}, {1, INT64_MAX - 1, INT64_MIN + 1, 0},
          {-1, 0, 0, 1, true}},
         "", 4, 0, 0, 0, 3, 1, 3},
        {"a third numbering within the arbitration time fills none of the second's holes", U64,
         {{0, 200000, 200004, 0}, {1, 200000, 200004, 0}, {0, 100000, 100001, 1},
          {0, 100003, 100004, 1}, {1, 100000, 100001, 1}, {1, 100003, 100004, 1}, {0, 1, 5, 2},
          {1, 1, 5, 2}, {-1, 0, 0, 3, true}},
         "100002", 14, 1, 0, 0, 0, 14, 0},
        {"a lagging line's copies below where the other began a numbering are late", U64,
         {{0, 200000, 200004, 0}, {1, 200000, 200004, 0}, {0, 100003, 100005, 1},
          {1, 200005, 200006, 1}, {1, 100000, 100005, 100}, {-1, 0, 0, 200, true}},
         "100002", 13, 3, 3, 0, 5, 8, 5},
        {"a line's new sender that goes on with its numbers stays in the feed's", U64,
         {{0, 1, 6, 0}, {0, 8, 10, 0}, {1, 1, 4, 0}, {1, 5, 10, 1, false, true},
          {-1, 0, 0, 99, true}},
         "", 10, 0, 0, 0, 1, 9, 1},
        {"a line's new sender that begins again below its numbers opens a numbering", U64,
         {{0, 1, 10, 0}, {1, 1, 10, 0}, {1, 1, 3, 1, false, true}, {0, 1, 3, 60, false, true},
          {-1, 0, 0, 99, true}},
         "", 13, 0, 0, 0, 0, 10, 3},
        {"new senders on every line that begin past the lines' numbers open a numbering", U64,
         {{0, 1, 10, 0}, {1, 1, 10, 0}, {0, 510, 519, 1, false, true},
          {1, 510, 519, 1, false, true}, {-1, 0, 0, 99, true}},
         "", 20, 0, 0, 0, 0, 20, 0},
        {"a line within a run behind fills each run's own hole", U64,
         restarted_every_50_ms(6, 30), "", 300, 0, 0, 0, 6, 294, 6},
        {"a line four runs behind: its copies fill each run's own hole, late", U64,
         restarted_every_50_ms(6, 200), "25;25;25;25;25;25", 300, 6, 6, 0, 6, 294, 6},
        {"a line silent in its numbering while it is let go counts again from the next held", U64,
         restarted_every_50_ms(12, 405, 0), "25;25;25;25;25;25;25;25;25;25;25",
         597, 11, 8, 147, 9, 588, 9},
        {"and so into each after those let go", U64, restarted_every_50_ms(13, 455, 0),
         "25;25;25;25;25;25;25;25;25;25;25;25", 646, 12, 8, 196, 9, 637, 9},
    };
    for (const feed_case &c : cases) {
        SCOPED_TRACE(c.name);
        feed_run run(c.kind, 2, 50000);
        for (const feed_delivery &d : c.deliveries) {
            uint64_t now_us = d.at_ms * 1000;
            if (d.new_sender)
                run.new_session(d.line);
            for (int64_t seq = d.first; d.line >= 0; seq = int64_t((uint64_t(seq) + 1) & run.rules.mask)) {
                run.deliver(d.line, seq, 1, now_us);
                if (seq == d.last)
                    break;
            }
            run.settle(now_us, d.at_end);
        }
        EXPECT_EQ(run.holes, c.holes);
        const feed_counts &n = run.feed.counts;
        EXPECT_EQ(n.numbers, c.numbers);
        EXPECT_EQ(n.missed, c.missed);
        EXPECT_EQ(n.late, c.late);
        EXPECT_EQ(n.lost, c.missed - c.late);
        EXPECT_EQ(n.alone[0], c.alone_a);
        EXPECT_EQ(n.alone[1], c.alone_b);
        EXPECT_EQ(n.first[0], c.first_a);
        EXPECT_EQ(n.first[1], c.first_b);
    }
}

// A hole is said at the time it fell due, the arbitration time after a line passed it, however
// much later the arrival that showed it came; one decided before its time (the run's end) has
// none.
TEST(Feed, AHoleFallsDueTheArbitrationTimeAfterALinePassedIt)
{
    feed_run run(U64, 2, 50000);
    run.deliver(0, 1, 4, 0);
    run.deliver(1, 1, 4, 0);
    run.deliver(0, 7, 2, 10000);
    run.deliver(1, 9, 1, 200000);
    run.deliver(0, 11, 1, 210000);
    run.settle(220000, true);
    EXPECT_EQ(run.holes, "5-6;10");
    EXPECT_EQ(run.dues_us, (std::vector<uint64_t>{60000, 0}));
}

// A line that lags more than the feed may hold: the oldest numbers are decided before their
// time, and the line is named once its copy of one comes; one that was lost is still late.
TEST(Feed, HoldsAtMostItsBoundAndNamesTheLineThatLagsPastIt)
{
    feed_run run(U64, 2, 10000000);
    run.deliver(0, 1, 4, 0);
    // Before the feed's first number: no lag.
    run.deliver(1, 0, 1, 0);
    EXPECT_EQ(run.feed.lag_line, -1);
    const uint32_t chunk = 1000;
    for (uint64_t seq = 6; seq < 6 + FEED_WINDOW_MAX + 10 * chunk; seq += chunk)
        run.deliver(0, int64_t(seq), chunk, 0);
    EXPECT_EQ(run.feed.window, FEED_WINDOW_MAX);
    EXPECT_EQ(run.holes, "5");
    EXPECT_EQ(run.feed.lag_line, -1);
    run.deliver(1, 1, 9, 1000);
    EXPECT_EQ(run.feed.lag_line, 1);
    EXPECT_EQ(run.feed.counts.late, 1u);
    EXPECT_EQ(run.feed.counts.lost, 0u);
}

// The reference, set-based: every number the sender sent (its epoch, and its index there), which
// lines delivered it and when, and when each line first passed it. A number is missed when no
// copy came before the arbitration time ran out since a line first passed it, late when one
// came after; numbers, alone (only that line delivered it, whenever) and first (its earliest
// copy) count every copy. Each line's first copy of a number two lines delivered is behind
// the earliest by its own time; beyond the max skew where that is more than it, or, for the
// earliest, where it came more than it after a line passed the number (lost in window).
struct model_number {
    unsigned who = 0;
    uint64_t first_us = 0;
    int first_line = 0;
    uint64_t line_us[FEED_LINES_MAX] = {};
};

struct model_pass {
    uint64_t at_us;
    int64_t end;          // every number below passed by then
};

struct feed_model {
    uint64_t arbitration_us;
    uint64_t max_skew_us;
    std::map<std::pair<int, int64_t>, model_number> copies;
    std::map<std::pair<int, int>, std::vector<model_pass>> passes;   // (line, epoch)
    std::map<int, int64_t> lowest;
    uint64_t numbers = 0, missed = 0, late = 0;
    uint64_t first[FEED_LINES_MAX] = {}, alone[FEED_LINES_MAX] = {};
    uint64_t beyond[FEED_LINES_MAX] = {}, lost_in_window = 0;
    histogram behind[FEED_LINES_MAX] = {};

    void deliver(int line, int epoch, int64_t first_n, int64_t count, int64_t pass_end, uint64_t at_us)
    {
        std::vector<model_pass> &pass = passes[{line, epoch}];
        pass.push_back({at_us, std::max(pass_end, pass.empty() ? pass_end : pass.back().end)});
        if (count > 0)
            lowest[epoch] = lowest.count(epoch) ? std::min(lowest[epoch], first_n) : first_n;
        for (int64_t n = first_n; n < first_n + count; n++) {
            model_number &number = copies[{epoch, n}];
            if (!(number.who & (1u << line)))
                number.line_us[line] = at_us;
            if (number.who == 0 || at_us < number.first_us)
                number.first_us = at_us, number.first_line = line;
            number.who |= 1u << line;
        }
    }

    // When the first line passed n, if one did: a line's passes come in order of arrival.
    bool passed(int epoch, int64_t n, uint64_t *at_us) const
    {
        bool any = false;
        for (const auto &[key, pass] : passes) {
            if (key.second != epoch)
                continue;
            auto it = std::upper_bound(pass.begin(), pass.end(), n,
                                       [](int64_t v, const model_pass &p) { return v < p.end; });
            if (it != pass.end() && (!any || it->at_us < *at_us))
                *at_us = it->at_us, any = true;
        }
        return any;
    }

    void count_skew(int epoch, int64_t n, const model_number &number)
    {
        uint64_t passed_us = 0;
        if (passed(epoch, n, &passed_us) && number.first_us > passed_us &&
            number.first_us - passed_us > max_skew_us)
            lost_in_window++, beyond[number.first_line]++;
        if ((number.who & (number.who - 1)) == 0)
            return;
        for (int line = 0; line < FEED_LINES_MAX; line++) {
            if (!(number.who & (1u << line)))
                continue;
            uint64_t behind_us = number.line_us[line] - number.first_us;
            histogram_add(&behind[line], behind_us);
            if (line != number.first_line && behind_us > max_skew_us)
                beyond[line]++;
        }
    }

    void count()
    {
        for (const auto &[epoch, low] : lowest) {
            int64_t end = low;
            for (const auto &[key, pass] : passes)
                if (key.second == epoch)
                    end = std::max(end, pass.back().end);
            for (int64_t n = low; n < end; n++) {
                auto it = copies.find({epoch, n});
                uint64_t passed_us = 0;
                bool due = passed(epoch, n, &passed_us);
                if (it == copies.end()) {
                    missed++;
                } else if (due && it->second.first_us >= passed_us + arbitration_us) {
                    missed++, late++;
                }
            }
        }
        for (const auto &[key, number] : copies) {
            numbers++;
            first[number.first_line]++;
            if ((number.who & (number.who - 1)) == 0)
                alone[__builtin_ctz(number.who)]++;
            count_skew(key.first, key.second, number);
        }
    }
};

// A datagram the sender sent: count numbers of its epoch from n on (0: a heartbeat, n next).
struct model_datagram {
    int epoch;
    int64_t n;
    uint32_t count;
    uint64_t sent_us;
};

struct model_copy {
    uint64_t at_us;
    int step;
};

// How a run's lines misbehave besides drops, duplicates and reorders: B's lag (growing by
// lag_growth_us a step: a line falling thousands of numbers behind), B silent for a long
// stretch (for a 16-bit field its tracker takes the jump for a restart), and A joining late
// and leaving early (B, lagging, delivers what A never had). The sender restarts only where
// its lines are never an epoch apart.
struct model_faults {
    uint64_t lag_b_us, lag_growth_us;
    int silent_b_from, silent_b_steps;
    int head_a, tail_a;
    bool restarts;
    uint64_t lag_a_us = 0;   // A behind B instead
    int restart_every = 0;   // steps: the sender restarts this often, whatever the lines do
};

TEST(Feed, AgreesWithASetBasedModelOverRandomRuns)
{
    // Fields across their wraps; 16 bits by RFC 3550's limits, where a sender's jump of 20,000
    // is a restart.
    struct model_case {
        field_kind kind;
        uint64_t start_raw;
        uint64_t restart_step;   // added to the last number at a restart
        bool long_jumps;         // both lines lose 70,000 numbers at once
    };
    const model_case cases[] = {
        {U16, 65000, 20000, false},
        {F32, 0x7fffe000, uint64_t(-1000000), true},
        {U32, 0xffffe000, uint64_t(-1000000), true},
        {U64, uint64_t(INT64_MAX) - 3000, uint64_t(-1000000), true},
        {U64, uint64_t(-3000), uint64_t(-1000000), true},
    };
    // B lags past the arbitration time, within it, by many thousands of numbers (past what the
    // arbitration time alone would have the feed hold), and falls silent for thousands; or A
    // lags past the max skew; B falls behind by 800 ms across restarts; or B lags by three or
    // four numberings, the sender restarting every 15 ms.
    const model_faults faults[] = {
        {25000, 0, 0, 0, 0, 0, true},
        {0, 0, 0, 0, 30, 30, true},
        {0, 200, 0, 0, 0, 0, false},
        {30000, 0, 1500, 2000, 40, 60, true},
        {5000, 0, 700, 2500, 0, 0, true},
        {0, 0, 0, 0, 0, 0, true, 30000},
        {0, 200, 0, 0, 0, 0, true},
        {45000, 0, 0, 0, 0, 0, false, 0, 150},
    };
    const uint64_t period_us = 100, batch_us = 1000, arbitration_us = 20000, max_skew_us = 10000;
    const int steps = 4000, lines = 2;
    // A run of each fault a field; FEED_MODEL_SEEDS=2000 tries many more.
    const unsigned seeds = getenv("FEED_MODEL_SEEDS") ? unsigned(atoi(getenv("FEED_MODEL_SEEDS")))
                                                      : unsigned(std::size(faults));
    for (const model_case &c : cases) {
        uint64_t late = 0, in_window = 0, beyond_a = 0;
        int epochs = 0;
        for (unsigned seed = 1; seed <= seeds; seed++) {
            SCOPED_TRACE("field " + std::to_string(c.kind) + " seed " + std::to_string(seed));
            const model_faults &fault = faults[(seed - 1) % std::size(faults)];
            std::mt19937_64 random(seed);
            // What the sender sent, and where its epochs change (sessions or restarts).
            std::vector<model_datagram> sent;
            std::vector<uint64_t> raw_start = {c.start_raw};
            std::vector<bool> session = {true};
            std::vector<int> quiet_until = {3};   // no faults where lines change epoch
            int64_t n = 0;
            int epoch = 0, since_change = 0;
            for (int step = 0; step < steps; step++, since_change++) {
                bool near_silence = step > fault.silent_b_from - 10 &&
                                    step < fault.silent_b_from + fault.silent_b_steps + 10;
                bool due = fault.restart_every > 0 && since_change >= fault.restart_every;
                if (due || (fault.restarts && since_change > 500 && !near_silence && random() % 800 == 0)) {
                    uint64_t last = raw_start.back() + uint64_t(n) - 1;
                    bool new_session = random() % 2 == 0;
                    raw_start.push_back(new_session ? c.start_raw : last + c.restart_step);
                    session.push_back(new_session);
                    quiet_until.push_back(step + 4);
                    epoch++, n = 0, since_change = 0;
                }
                if (c.long_jumps && since_change > 10 && random() % 1500 == 0)
                    n += 70000;
                bool quiet = step < quiet_until.back() || near_silence;
                uint32_t count = !quiet && random() % 30 == 0 ? 0 : 1 + uint32_t(random() % 3);
                sent.push_back({epoch, n, count, step * period_us});
                n += count;
            }
            // Each line's copies, with its own drops, duplicates, swaps and lag; none where the
            // line changes epoch or ends its silence, as its own tracker would judge a fault
            // there otherwise.
            auto near_change = [&](int step) {
                int e = sent[step].epoch;
                bool before_next = sent[std::min(step + 4, steps - 1)].epoch != e;
                bool resuming = std::abs(step - fault.silent_b_from - fault.silent_b_steps) < 10;
                return step < quiet_until[e] || before_next || resuming;
            };
            std::vector<std::vector<model_copy>> copies(lines);
            for (int line = 0; line < lines; line++) {
                uint64_t lag_us = line == 0 ? fault.lag_a_us + random() % 2000 : fault.lag_b_us + random() % 15000;
                for (int step = 0; step < steps; step++) {
                    uint64_t at_us = sent[step].sent_us + lag_us + (line == 1 ? step * fault.lag_growth_us : 0);
                    uint64_t dice = random() % 1000;
                    bool joint_drop = (sent[step].sent_us / period_us) % 97 == 13;
                    if (line == 0 && (step < fault.head_a || step >= steps - fault.tail_a))
                        continue;
                    if (line == 1 && step >= fault.silent_b_from &&
                        step < fault.silent_b_from + fault.silent_b_steps)
                        continue;
                    if (!near_change(step) && (dice < 30 || joint_drop))
                        continue;
                    if (!near_change(step) && dice < 60)
                        at_us += period_us * 3 / 2;
                    copies[line].push_back({at_us, step});
                    if (!near_change(step) && dice < 80)
                        copies[line].push_back({at_us + 50, step});
                }
                std::stable_sort(copies[line].begin(), copies[line].end(),
                                 [](const model_copy &a, const model_copy &b) { return a.at_us < b.at_us; });
            }
            // Read as the loop reads: a batch at a time, the lines in either order. The model
            // is told what each line's tracker placed: a datagram it holds back until the next
            // agrees (a restart's first) comes with that next one.
            feed_run run(c.kind, lines, arbitration_us, max_skew_us);
            feed_model model;
            model.arbitration_us = arbitration_us;
            model.max_skew_us = max_skew_us;
            std::vector<size_t> next(lines, 0);
            std::vector<int> line_epoch(lines, -1);
            std::vector<int64_t> highest(lines, 0);
            std::vector<const model_copy *> held(lines, nullptr);
            for (uint64_t boundary = batch_us; ; boundary += batch_us) {
                bool more = false;
                int order = int(random() % 2);
                for (int k = 0; k < lines; k++) {
                    int line = (k + order) % lines;
                    for (; next[line] < copies[line].size() && copies[line][next[line]].at_us < boundary; next[line]++) {
                        const model_copy *copy = &copies[line][next[line]];
                        const model_datagram *d = &sent[copy->step];
                        uint64_t raw = (raw_start[d->epoch] + uint64_t(d->n)) & run.rules.mask;
                        int64_t seq = run.rules.signed_32 ? int32_t(uint32_t(raw)) : int64_t(raw);
                        bool changes = line_epoch[line] != d->epoch;
                        if (changes && session[d->epoch])
                            run.new_session(line);
                        bool placed;
                        seq_class kind = run.deliver(line, seq, d->count, copy->at_us, &placed);
                        if (!placed) {
                            held[line] = copy;
                            continue;
                        }
                        int64_t first_n = d->n;
                        int64_t count = d->count;
                        if (kind != SEQ_RESTART)
                            held[line] = nullptr;
                        if (held[line] != nullptr) {
                            first_n = sent[held[line]->step].n;
                            count += sent[held[line]->step].count;
                            held[line] = nullptr;
                        }
                        if (changes)
                            highest[line] = first_n - 1;
                        line_epoch[line] = d->epoch;
                        highest[line] = std::max(highest[line], d->count == 0 ? d->n - 1 : d->n + d->count - 1);
                        model.deliver(line, d->epoch, first_n, count, highest[line] + 1, copy->at_us);
                    }
                    more = more || next[line] < copies[line].size();
                }
                run.settle(boundary, !more);
                if (!more)
                    break;
            }
            model.count();
            const feed_counts &f = run.feed.counts;
            EXPECT_EQ(f.numbers, model.numbers);
            EXPECT_EQ(f.missed, model.missed);
            EXPECT_EQ(f.late, model.late);
            EXPECT_EQ(f.lost, model.missed - model.late);
            EXPECT_EQ(f.lost_in_window, model.lost_in_window);
            for (int line = 0; line < lines; line++) {
                EXPECT_EQ(f.first[line], model.first[line]) << "line " << line;
                EXPECT_EQ(f.alone[line], model.alone[line]) << "line " << line;
                EXPECT_EQ(f.beyond[line], model.beyond[line]) << "line " << line;
                const histogram &got = run.feed.behind.times[line], &want = model.behind[line];
                EXPECT_EQ(got.total, want.total) << "line " << line;
                EXPECT_EQ(got.max_us, want.max_us) << "line " << line;
                EXPECT_TRUE(std::equal(std::begin(got.counts), std::end(got.counts), std::begin(want.counts)))
                    << "line " << line;
            }
            // The timeline draws what was counted: each line's alone in the interval of its copy.
            const feed_timeline *drawn = run.decided.get();
            timeline_interval total = timeline_total(&drawn->decided);
            EXPECT_EQ(total.missed, f.missed);
            EXPECT_EQ(total.late, f.late);
            EXPECT_GT(drawn->decided.interval_us, 100u);
            for (int line = 0; line < lines; line++) {
                std::vector<uint64_t> alone(TIMELINE_INTERVALS);
                for (const auto &[key, number] : model.copies)
                    if (number.who == 1u << line)
                        alone[number.first_us / drawn->decided.interval_us]++;
                for (int i = 0; i < TIMELINE_INTERVALS; i++)
                    EXPECT_EQ(drawn->alone[i][line], alone[i]) << "line " << line << " at " << i;
            }
            EXPECT_GT(model.missed, model.late);
            epochs += epoch;
            late += model.late;
            in_window += model.lost_in_window;
            beyond_a += model.beyond[0];
        }
        EXPECT_GT(late, 0u);
        EXPECT_GT(in_window, 0u);
        EXPECT_GT(beyond_a, 0u);
        EXPECT_GE(epochs, int(seeds));
    }
}

} // namespace
