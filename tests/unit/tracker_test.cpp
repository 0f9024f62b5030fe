#include "monitor/tracker.h"
#include "monitor/senders.h"
#include "monitor/snapshot.h"
#include "net/address.h"

#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

const int64_t W = TRACK_WINDOW;
const int64_t max64 = INT64_MAX;
const int64_t min64 = INT64_MIN;

// The fields judged: the classic ones (64 bits; -f's signed 32), and 2- and 8-byte fields
// of a given layout.
enum field_kind { CLASSIC, F32, U16, U64 };

seq_rules rules_of(field_kind kind)
{
    seq_layout layout = classic_layout(kind == F32);
    layout.given = kind == U16 || kind == U64;
    layout.seq.width_bytes = kind == U16 ? 2 : layout.seq.width_bytes;
    return rules_for_layout(&layout);
}

struct track_case {
    const char *name;
    field_kind field;
    std::vector<int64_t> seqs;
    std::vector<seq_class> classes;
    // In the snapshot after the last datagram.
    uint64_t missed, late, lost, duplicates, stale, restarts;
    std::vector<uint32_t> counts = {};  // numbers each datagram carries; none given: 1 each
};

const track_case track_cases[] = {
    {"in order", CLASSIC, {1, 2, 3}, {SEQ_FIRST, SEQ_NEXT, SEQ_NEXT}, 0, 0, 0, 0, 0, 0},
    {"a swap", CLASSIC, {10, 12, 11}, {SEQ_FIRST, SEQ_GAP, SEQ_LATE}, 1, 1, 0, 0, 0, 0},
    {"a hole still open at the end", CLASSIC, {10, 12, 12},
     {SEQ_FIRST, SEQ_GAP, SEQ_DUPLICATE}, 1, 0, 1, 1, 0, 0},
    {"late numbers fill the last hole", CLASSIC, {1, 5, 2, 4, 3},
     {SEQ_FIRST, SEQ_GAP, SEQ_LATE, SEQ_LATE, SEQ_LATE}, 3, 3, 0, 0, 0, 0},
    {"before the first number", CLASSIC, {100, 99}, {SEQ_FIRST, SEQ_STALE}, 0, 0, 0, 0, 1, 0},
    {"the window's last number", CLASSIC, {0, W, 1}, {SEQ_FIRST, SEQ_GAP, SEQ_LATE},
     W - 1, 1, W - 2, 0, 0, 0},
    {"exactly the window below", CLASSIC, {0, W, 0}, {SEQ_FIRST, SEQ_GAP, SEQ_STALE},
     W - 1, 0, W - 1, 0, 1, 0},
    {"one more below, alone: stale", CLASSIC, {0, W + 1, 0}, {SEQ_FIRST, SEQ_GAP, SEQ_STALE},
     W, 0, W, 0, 1, 0},
    {"a restart: two in a row agree, and the open holes are lost", CLASSIC,
     {W + 100, W + 101, W + 103, 5, 6, 7}, {SEQ_FIRST, SEQ_NEXT, SEQ_GAP, SEQ_STALE, SEQ_RESTART,
     SEQ_NEXT}, 1, 0, 1, 0, 0, 1},
    // One stray from long ago, then the stream goes on: no restart, nothing more lost.
    {"a stray far behind is stale", CLASSIC, {W + 100, W + 101, 5, W + 102, W + 103},
     {SEQ_FIRST, SEQ_NEXT, SEQ_STALE, SEQ_NEXT, SEQ_NEXT}, 0, 0, 0, 0, 1, 0},
    {"a stray and a number that does not follow it", CLASSIC, {W + 100, 5, 7, W + 101},
     {SEQ_FIRST, SEQ_STALE, SEQ_STALE, SEQ_NEXT}, 0, 0, 0, 0, 2, 0},
    {"a restart across the 32-bit wrap with -f", F32, {0, W + 10, -1, 0},
     {SEQ_FIRST, SEQ_GAP, SEQ_STALE, SEQ_RESTART}, W + 9, 0, W + 9, 0, 0, 1},
    // Jumps near 2^63 would pass 2^64 missed numbers: the count stays at its largest.
    {"missed numbers saturate", CLASSIC, {0, max64, -2, max64 - 2},
     {SEQ_FIRST, SEQ_GAP, SEQ_GAP, SEQ_GAP}, UINT64_MAX, 0, UINT64_MAX, 0, 0, 0},
    {"a hole pushed out of the window comes too late", CLASSIC, {0, 2, W + 1, 1},
     {SEQ_FIRST, SEQ_GAP, SEQ_GAP, SEQ_STALE}, W - 1, 0, W - 1, 0, 1, 0},
    {"a jump far beyond the window", CLASSIC, {0, 3 * W}, {SEQ_FIRST, SEQ_GAP},
     3 * W - 1, 0, 3 * W - 1, 0, 0, 0},
    {"wraps at 2^64", CLASSIC, {max64, min64, min64 + 1}, {SEQ_FIRST, SEQ_NEXT, SEQ_NEXT},
     0, 0, 0, 0, 0, 0},
    {"a duplicate next to the largest number", CLASSIC, {max64 - 1, max64, max64},
     {SEQ_FIRST, SEQ_NEXT, SEQ_DUPLICATE}, 0, 0, 0, 1, 0, 0},
    {"-1 is a number like any other", CLASSIC, {-2, -1, 0, -1},
     {SEQ_FIRST, SEQ_NEXT, SEQ_NEXT, SEQ_DUPLICATE}, 0, 0, 0, 1, 0, 0},
    {"wraps at 2^32 with -f", F32, {2147483647, -2147483648LL, -2147483647LL},
     {SEQ_FIRST, SEQ_NEXT, SEQ_NEXT}, 0, 0, 0, 0, 0, 0},
    {"a late number across the 32-bit wrap", F32, {2147483646, -2147483648LL, 2147483647},
     {SEQ_FIRST, SEQ_GAP, SEQ_LATE}, 1, 1, 0, 0, 0, 0},
    // 16-bit fields follow RFC 3550's limits: 3,000 ahead, 100 back, else a restart.
    {"16 bits wrap to 0, and a late one across the wrap", U16, {65534, 1, 65535, 0},
     {SEQ_FIRST, SEQ_GAP, SEQ_LATE, SEQ_LATE}, 2, 2, 0, 0, 0, 0},
    {"16 bits: a duplicate across the wrap", U16, {65535, 0, 65535},
     {SEQ_FIRST, SEQ_NEXT, SEQ_DUPLICATE}, 0, 0, 0, 1, 0, 0},
    {"16 bits: a jump of 3,000 is a gap", U16, {10, 3010}, {SEQ_FIRST, SEQ_GAP},
     2999, 0, 2999, 0, 0, 0},
    {"16 bits: a jump of 3,001 is a restart once the next agrees", U16, {10, 3011, 3012, 3013},
     {SEQ_FIRST, SEQ_STALE, SEQ_RESTART, SEQ_NEXT}, 0, 0, 0, 0, 0, 1},
    {"16 bits: 100 back is late, 101 back too far", U16, {0, 101, 1, 102, 0},
     {SEQ_FIRST, SEQ_GAP, SEQ_LATE, SEQ_NEXT, SEQ_STALE}, 100, 1, 99, 0, 1, 0},
    {"16 bits: a lone stray does not restart", U16, {500, 40000, 501},
     {SEQ_FIRST, SEQ_STALE, SEQ_NEXT}, 0, 0, 0, 0, 1, 0},
    {"8 bytes unsigned wrap as 64 bits do", U64, {-1, 0, 1}, {SEQ_FIRST, SEQ_NEXT, SEQ_NEXT},
     0, 0, 0, 0, 0, 0},
    // A count field: each datagram carries count numbers, and the counts are of numbers.
    {"runs of numbers in order", U64, {1, 4, 7}, {SEQ_FIRST, SEQ_NEXT, SEQ_NEXT},
     0, 0, 0, 0, 0, 0, {3, 3, 3}},
    {"a gap between runs", U64, {1, 7}, {SEQ_FIRST, SEQ_GAP}, 3, 0, 3, 0, 0, 0, {3, 2}},
    {"a heartbeat at the next number says nothing", U64, {1, 4, 4},
     {SEQ_FIRST, SEQ_HEARTBEAT, SEQ_NEXT}, 0, 0, 0, 0, 0, 0, {3, 0, 1}},
    {"a heartbeat first: the number before it is stale", U64, {10, 9, 10},
     {SEQ_FIRST, SEQ_STALE, SEQ_NEXT}, 0, 0, 0, 0, 1, 0, {0, 1, 1}},
    {"a heartbeat ahead reveals a lost tail", U64, {1, 4, 10}, {SEQ_FIRST, SEQ_NEXT, SEQ_GAP},
     3, 0, 3, 0, 0, 0, {3, 3, 0}},
    {"a run over the highest fills holes and repeats", U64, {1, 6, 3},
     {SEQ_FIRST, SEQ_GAP, SEQ_LATE}, 2, 2, 0, 2, 0, 0, {3, 2, 4}},
    {"a run that repeats and goes on", U64, {1, 2}, {SEQ_FIRST, SEQ_NEXT},
     0, 0, 0, 2, 0, 0, {3, 4}},
    {"a restart of runs", U64, {W + 100, 5, 8, 10}, {SEQ_FIRST, SEQ_STALE, SEQ_RESTART, SEQ_NEXT},
     0, 0, 0, 0, 0, 1, {1, 3, 2, 1}},
    {"a run far beyond the window", U64, {0, 2 * W}, {SEQ_FIRST, SEQ_GAP},
     2 * W - 1, 0, 2 * W - 1, 0, 0, 0, {1, 5}},
};

TEST(Track, ClassesAndCountsEachDatagram)
{
    auto t = std::make_unique<tracker>();
    for (const track_case &c : track_cases) {
        SCOPED_TRACE(c.name);
        seq_rules rules = rules_of(c.field);
        track_start(t.get(), &rules, true);
        uint64_t numbers = 0;
        for (size_t i = 0; i < c.seqs.size(); i++) {
            uint32_t count = c.counts.empty() ? 1 : c.counts[i];
            numbers += count;
            EXPECT_EQ(seq_class_name(track(t.get(), c.seqs[i], count, 64, nullptr)),
                      std::string(seq_class_name(c.classes[i])))
                << "datagram " << i;
        }
        track_counts n = track_snapshot(t.get());
        EXPECT_EQ(n.received, numbers);
        EXPECT_EQ(n.datagrams, c.seqs.size());
        EXPECT_EQ(n.bytes, 64 * c.seqs.size());
        EXPECT_EQ(n.missed, c.missed);
        EXPECT_EQ(n.late, c.late);
        EXPECT_EQ(n.lost, c.lost);
        EXPECT_EQ(n.duplicates, c.duplicates);
        EXPECT_EQ(n.stale, c.stale);
        EXPECT_EQ(n.restarts, c.restarts);
        EXPECT_EQ(n.first_seq, c.field == U16 ? c.seqs[0] & 0xffff : c.seqs[0]);
        EXPECT_EQ(n.received, n.unique + n.duplicates + n.stale);
        EXPECT_EQ(n.lost, n.missed - n.late);
    }
}

// The same rules kept with sets, slowly and plainly, to check the bit window against: numbers
// are unbounded here (the tracker sees them wrapped to its field), a datagram carries a run of
// count numbers (0: a heartbeat), and a step ahead or back past the field's limits makes a
// restart's candidate.
struct set_model {
    int64_t ahead_max = 0, back_max = 0;
    bool started = false;
    int64_t highest = 0, first_of_epoch = 0;
    std::set<int64_t> holes;
    uint64_t missed = 0, late = 0, lost = 0, duplicates = 0, stale = 0, restarts = 0;
    bool have_candidate = false;
    int64_t candidate = 0, candidate_count = 0;

    // Moves the highest to last; the numbers passed over from first on are received.
    void advance(int64_t last, int64_t first)
    {
        for (int64_t n = highest + 1; n < first; n++)
            holes.insert(n);
        highest = last;
        while (!holes.empty() && *holes.begin() <= highest - W) {
            holes.erase(holes.begin());
            lost++;
        }
    }

    void start(int64_t first, int64_t count)
    {
        first_of_epoch = first;
        highest = first + count - 1;
    }

    seq_class take(int64_t seq, int64_t count)
    {
        if (!started) {
            started = true;
            start(seq, count);
            return SEQ_FIRST;
        }
        if (have_candidate) {
            have_candidate = false;
            if (seq == candidate + candidate_count) {
                stale -= static_cast<uint64_t>(candidate_count);
                lost += holes.size();
                holes.clear();
                restarts++;
                start(candidate, candidate_count + count);
                return SEQ_RESTART;
            }
        }
        int64_t step = seq - highest;
        if (count == 0) {
            if (step < 2 || step > ahead_max)
                return SEQ_HEARTBEAT;
            missed += static_cast<uint64_t>(step - 1);
            advance(seq - 1, seq);
            return SEQ_GAP;
        }
        if (step >= 1 && step <= ahead_max) {
            missed += static_cast<uint64_t>(step - 1);
            advance(seq + count - 1, seq);
            return step == 1 ? SEQ_NEXT : SEQ_GAP;
        }
        if (step > ahead_max || -step > back_max) {
            have_candidate = true;
            candidate = seq;
            candidate_count = count;
            stale += static_cast<uint64_t>(count);
            return SEQ_STALE;
        }
        uint64_t late_here = 0, duplicates_here = 0;
        for (int64_t n = seq; n < seq + count && n <= highest; n++) {
            if (highest - n == W || n < first_of_epoch)
                stale++;
            else if (holes.erase(n))
                late_here++;
            else
                duplicates_here++;
        }
        late += late_here;
        duplicates += duplicates_here;
        if (seq + count - 1 > highest) {
            advance(seq + count - 1, highest + 1);
            return SEQ_NEXT;
        }
        return late_here > 0 ? SEQ_LATE : duplicates_here > 0 ? SEQ_DUPLICATE : SEQ_STALE;
    }
};

TEST(Track, AgreesWithASetBasedModelOverRandomStreams)
{
    // The classic field; a 16-bit one across its wrap, by RFC 3550's limits; runs of numbers
    // and heartbeats in a 64-bit one.
    struct model_case {
        field_kind field;
        int64_t start, ahead_max, back_max, late_most, long_gap, restart_back;
        uint32_t counts_most;   // 0: one number a datagram, no heartbeats
    };
    const model_case cases[] = {
        {CLASSIC, 1000, INT64_MAX, W, 300, W / 2, W + 1, 0},
        {U16, 60000, RTP_DROPOUT_MAX, RTP_MISORDER_MAX, 150, 2 * RTP_DROPOUT_MAX, 1000, 0},
        {U64, 1000, INT64_MAX, W, 300, W / 2, W + 1, 6},
    };
    auto t = std::make_unique<tracker>();
    for (const model_case &c : cases) {
        seq_rules rules = rules_of(c.field);
        for (unsigned seed = 1; seed <= 4; seed++) {
            SCOPED_TRACE(std::to_string(c.field) + " seed " + std::to_string(seed));
            std::mt19937_64 random(seed);
            track_start(t.get(), &rules, true);
            set_model model;
            model.ahead_max = c.ahead_max;
            model.back_max = c.back_max;
            int64_t seq = c.start;
            uint64_t numbers = 0;
            uint64_t epoch_shift = 0;
            for (int step = 0; step < 4000; step++) {
                uint64_t dice = random() % 1000;
                int64_t count = c.counts_most == 0 ? 1 : static_cast<int64_t>(random() % c.counts_most);
                int64_t sent = seq;
                if (dice < 700)
                    sent = seq += 1;                                          // in order
                else if (dice < 850)
                    sent = seq -= static_cast<int64_t>(random() % c.late_most); // late, duplicate
                else if (dice < 990)
                    sent = seq += 1 + static_cast<int64_t>(random() % 500);   // a gap
                else if (dice < 997)
                    sent = seq += c.long_gap + static_cast<int64_t>(random() % 1000); // a long one
                else
                    sent = seq -= c.restart_back + static_cast<int64_t>(random() % 1000); // restart
                seq += count > 0 ? count - 1 : -1;
                numbers += static_cast<uint64_t>(count);
                seq_class expected = model.take(sent, count);
                int64_t wrapped = static_cast<int64_t>(static_cast<uint64_t>(sent) & rules.mask);
                track_place place;
                ASSERT_EQ(seq_class_name(track(t.get(), wrapped, static_cast<uint32_t>(count), 1, &place)),
                          std::string(seq_class_name(expected)))
                    << "step " << step << " seq " << sent << " count " << count;
                // Places go on past the field's wrap: within an epoch, a place and the number
                // sent differ by the same amount, and the highest passed is the model's.
                if (expected == SEQ_FIRST || expected == SEQ_RESTART)
                    epoch_shift = place.first - static_cast<uint64_t>(model.first_of_epoch);
                if (place.placed) {
                    ASSERT_EQ(place.first - static_cast<uint64_t>(expected == SEQ_RESTART ? model.first_of_epoch : sent),
                              epoch_shift) << "step " << step;
                }
                ASSERT_EQ(place.placed, expected != SEQ_STALE || !model.have_candidate);
                ASSERT_EQ(place.passed_end - 1 - epoch_shift, static_cast<uint64_t>(model.highest));
            }
            track_counts n = track_snapshot(t.get());
            EXPECT_EQ(n.missed, model.missed);
            EXPECT_EQ(n.late, model.late);
            EXPECT_EQ(n.duplicates, model.duplicates);
            EXPECT_EQ(n.stale, model.stale);
            EXPECT_EQ(n.restarts, model.restarts);
            EXPECT_EQ(n.lost, model.lost + model.holes.size());
            EXPECT_EQ(n.lost, n.missed - n.late);
            EXPECT_EQ(n.received, numbers);
            EXPECT_EQ(n.received, n.unique + n.duplicates + n.stale);
            EXPECT_GT(n.late, 0u);
            EXPECT_GT(n.restarts, 0u);
        }
    }
}

// A snapshot of the table holds each stream's senders as next_sender gives them, and their
// sum and census as senders_total says them.
void expect_snapshot_agrees(const sender_table *table, int streams)
{
    run_snapshot snapshot;
    ASSERT_EQ(snapshot_open(&snapshot, table, streams), 0);
    snapshot_senders(&snapshot, table, streams);
    for (int s = 0; s < streams; s++) {
        const stream_snapshot *figures = &snapshot.streams[s];
        uint32_t cursor = 0;
        int i = 0;
        for (const sender_entry *entry; (entry = next_sender(table, s, &cursor)) != nullptr; i++)
            ASSERT_TRUE(i < figures->sender_count && figures->senders[i].entry == entry) << s;
        EXPECT_EQ(figures->sender_count, i) << s;
        sender_census census;
        track_counts total = senders_total(table, s, &census);
        EXPECT_EQ(memcmp(&figures->total.counts, &total, sizeof total), 0) << s;
        EXPECT_EQ(figures->census.senders, census.senders) << s;
        EXPECT_EQ(figures->census.more, census.more) << s;
    }
    snapshot_close(&snapshot);
}

// Past SENDERS_MAX senders the table holds one shared entry more for each stream, never a new
// one: each of the first senders keeps its own, the shared one counts without judging the
// interleaved numbers, and an entry idle long enough is taken over with its counts kept in its
// stream's total. A sender is one of a stream: the same address on another stream is another,
// and a stream's first sender has an entry of its own however many came before on others.
TEST(SenderTable, KeepsAnEntryForEachOfTheFirstSendersSharesOneAndTakesOverIdleOnes)
{
    auto table = std::make_unique<sender_table>();
    const uint64_t idle_us = 2000000, t0 = 1000000, t1 = t0 + 5 * idle_us;
    ASSERT_EQ(senders_open(table.get(), idle_us, 2), 0);
    auto sender = [](uint32_t n) {
        endpoint e = {};
        sockaddr_in *v4 = reinterpret_cast<sockaddr_in *>(&e.storage);
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = htonl(0x7f000001 + (n >> 16));
        v4->sin_port = htons(static_cast<uint16_t>(1000 + n));
        return e;
    };
    auto send = [&](uint32_t n, int64_t seq, uint64_t now_us) {
        endpoint from = sender(n);
        seq_rules rules = rules_of(CLASSIC);
        sender_entry *entry = find_sender(table.get(), 0, &from, nullptr, &rules, now_us);
        track(&entry->track, seq, 1, 12, nullptr);
        return entry;
    };
    // Every sender sends 0 to 4, interleaved with all the others.
    const uint32_t senders = SENDERS_MAX + 3;
    std::vector<sender_entry *> found(senders);
    for (int64_t seq = 0; seq < 5; seq++)
        for (uint32_t n = 0; n < senders; n++)
            found[n] = send(n, seq, t0 + static_cast<uint64_t>(seq));
    for (uint32_t n = 0; n < SENDERS_MAX; n++) {
        ASSERT_EQ(found[n], &table->entries[n]) << n;
        ASSERT_FALSE(found[n]->shared) << n;
    }
    for (uint32_t n = SENDERS_MAX; n < senders; n++)
        EXPECT_EQ(found[n], &table->shared[0]) << n;
    EXPECT_TRUE(table->shared[0].shared);
    EXPECT_EQ(endpoint_port(&table->shared[0].address), 1000 + SENDERS_MAX);
    sender_census census;
    track_counts total = senders_total(table.get(), 0, &census);
    EXPECT_TRUE(census.more);
    EXPECT_EQ(census.senders, uint64_t(SENDERS_MAX));
    EXPECT_EQ(total.received, senders * 5);
    EXPECT_EQ(total.unique, senders * 5);
    EXPECT_EQ(total.missed + total.duplicates + total.lost + total.stale, 0u);

    // All but sender 7 go on; a new sender then takes 7's entry, and 7's counts stay.
    for (uint32_t n = 0; n < SENDERS_MAX; n++)
        if (n != 7)
            send(n, 5, t1);
    sender_entry *taken = send(5000, 100, t1);
    EXPECT_EQ(taken, &table->entries[7]);
    EXPECT_EQ(endpoint_port(&taken->address), 6000);
    EXPECT_EQ(taken->track.counts.first_seq, 100);
    for (uint32_t n = 0; n < SENDERS_MAX; n++) {
        if (n == 7)
            continue;
        ASSERT_EQ(send(n, 6, t1), &table->entries[n]) << n; // every key still found
    }
    // Back within the search period, 7 is a new sender that finds no room.
    EXPECT_EQ(send(7, 5, t1 + 1), &table->shared[0]);
    total = senders_total(table.get(), 0, &census);
    EXPECT_EQ(census.senders, uint64_t(SENDERS_MAX) + 1);
    EXPECT_EQ(total.received, senders * 5 + (SENDERS_MAX - 1) * 2 + 2);
    EXPECT_EQ(total.missed + total.duplicates + total.lost + total.stale, 0u);

    // A session is part of the sender: sender 1 in a session of its own is not sender 1.
    endpoint first = sender(1);
    seq_rules rules = rules_of(U64);
    const unsigned char session[SESSION_BYTES] = {'S', '1'};
    EXPECT_EQ(find_sender(table.get(), 0, &first, session, &rules, t1), &table->shared[0]);
    EXPECT_EQ(find_sender(table.get(), 0, &first, nullptr, &rules, t1), &table->entries[1]);
    sender_entry *other_stream = find_sender(table.get(), 1, &first, nullptr, &rules, t1);
    EXPECT_EQ(other_stream, &table->entries[SENDERS_MAX]);
    track(&other_stream->track, 9, 1, 12, nullptr);
    total = senders_total(table.get(), 1, &census);
    EXPECT_EQ(total.received, 1u);
    EXPECT_EQ(census.senders, 1u);
    EXPECT_FALSE(census.more);
    expect_snapshot_agrees(table.get(), 2);
    // Long after, with stream 0's senders heard again, a new one of stream 0 finds no room:
    // stream 1's sender, idle, is its stream's last and keeps its entry.
    const uint64_t t2 = t1 + 5 * idle_us;
    for (uint32_t n = 0; n < SENDERS_MAX; n++)
        if (n != 7)
            send(n, 7, t2);
    send(5000, 101, t2);
    EXPECT_EQ(send(6000, 1, t2), &table->shared[0]);
    EXPECT_EQ(find_sender(table.get(), 1, &first, nullptr, &rules, t2), other_stream);
    senders_close(table.get());
}

// However many senders come before them, each stream's first SENDERS_PER_STREAM senders are
// judged on entries of their own (1,024 streams each with as many, after a flood on the first
// that takes the rest); one more then shares its stream's last entry.
TEST(SenderTable, JudgesTheFirstSendersOfEveryStream)
{
    const int streams = 1024;
    auto table = std::make_unique<sender_table>();
    ASSERT_EQ(senders_open(table.get(), SENDER_IDLE_US, streams), 0);
    seq_rules rules = rules_of(CLASSIC);
    endpoint from = {};
    sockaddr_in *v4 = reinterpret_cast<sockaddr_in *>(&from.storage);
    v4->sin_family = AF_INET;
    v4->sin_addr.s_addr = htonl(0x0a000001);
    for (int n = 0; n < 2 * SENDERS_MAX; n++) {
        v4->sin_port = htons(static_cast<uint16_t>(1000 + n));
        find_sender(table.get(), 0, &from, nullptr, &rules, 1);
    }
    for (int stream = 1; stream < streams; stream++) {
        for (int n = 0; n < SENDERS_PER_STREAM; n++) {
            v4->sin_port = htons(static_cast<uint16_t>(1000 + n));
            sender_entry *entry = find_sender(table.get(), stream, &from, nullptr, &rules, 1);
            ASSERT_FALSE(entry->shared) << stream << " " << n;
            track(&entry->track, 1, 1, 12, nullptr);
            track(&entry->track, 3, 1, 12, nullptr);
        }
        sender_census census;
        EXPECT_EQ(senders_total(table.get(), stream, &census).missed,
                  uint64_t(SENDERS_PER_STREAM)) << stream;
        EXPECT_FALSE(census.more) << stream;
    }
    v4->sin_port = htons(static_cast<uint16_t>(1000 + SENDERS_PER_STREAM));
    EXPECT_TRUE(find_sender(table.get(), streams - 1, &from, nullptr, &rules, 1)->shared);
    expect_snapshot_agrees(table.get(), streams);
    senders_close(table.get());
}

} // namespace
