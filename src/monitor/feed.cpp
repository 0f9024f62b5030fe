#include "monitor/feed.h"

#include <stdlib.h>

int feed_open(feed_state *feed, const seq_rules *rules, int line_count, uint64_t arbitration_us)
{
    *feed = feed_state{};
    feed->rules = *rules;
    feed->line_count = line_count;
    feed->arbitration_us = arbitration_us;
    // Calloc: the window's pages cost nothing until numbers reach them.
    feed->who = static_cast<unsigned char *>(calloc(FEED_WINDOW, 1));
    feed->lost_bits = static_cast<uint64_t *>(calloc(FEED_WINDOW / 64, sizeof(uint64_t)));
    if (feed->who == nullptr || feed->lost_bits == nullptr) {
        feed_close(feed);
        return -1;
    }
    return 0;
}

void feed_close(feed_state *feed)
{
    free(feed->who);
    free(feed->lost_bits);
    feed->who = nullptr;
    feed->lost_bits = nullptr;
}

static const uint64_t sign_bit = uint64_t(1) << 63;
// Narrower fields start here, so that a number behind the first never goes below 0.
static const uint64_t narrow_base = uint64_t(1) << 62;

// A field's number as a plain 64-bit place: the first as it is (a 64-bit one with its sign
// flipped, so that signed order is kept), each later one by its wrapping distance from the
// highest so far.
static uint64_t unwrap(const feed_state *feed, int64_t seq)
{
    uint64_t mask = feed->rules.mask;
    if (!feed->started)
        return mask == UINT64_MAX ? static_cast<uint64_t>(seq) ^ sign_bit
                                  : narrow_base + (static_cast<uint64_t>(seq) & mask);
    uint64_t reference = feed->highest_end - 1;
    uint64_t field_reference =
        mask == UINT64_MAX ? reference ^ sign_bit : (reference - narrow_base) & mask;
    uint64_t ahead = (static_cast<uint64_t>(seq) - field_reference) & mask;
    if (ahead <= mask / 2)
        return reference + ahead;
    return reference - (mask - ahead) - 1;
}

// The field's own number for a place.
static int64_t wrap(const feed_state *feed, uint64_t place)
{
    uint64_t mask = feed->rules.mask;
    if (mask == UINT64_MAX)
        return static_cast<int64_t>(place ^ sign_bit);
    uint64_t value = (place - narrow_base) & mask;
    if (feed->rules.signed_32)
        return static_cast<int32_t>(static_cast<uint32_t>(value));
    return static_cast<int64_t>(value);
}

static bool is_lost(const feed_state *feed, uint64_t place)
{
    uint64_t slot = place & (FEED_WINDOW - 1);
    return (feed->lost_bits[slot / 64] >> (slot % 64)) & 1;
}

static void set_lost(feed_state *feed, uint64_t place, bool lost)
{
    uint64_t slot = place & (FEED_WINDOW - 1);
    uint64_t bit = uint64_t(1) << (slot % 64);
    feed->lost_bits[slot / 64] = lost ? feed->lost_bits[slot / 64] | bit
                                      : feed->lost_bits[slot / 64] & ~bit;
}

// The feed's highest number moved on to end - 1 at now_us. Marks closer together than an
// eighth of the arbitration time share one, moved on: a number is then decided at most that
// much after its time, never before.
// Copies are judged at their own arrival times, and two lines' copies may be taken out of that
// order: a time before another is no time after it, never the most there is.
static uint64_t since_us(uint64_t now_us, uint64_t then_us)
{
    return now_us > then_us ? now_us - then_us : 0;
}

static void mark_passed(feed_state *feed, uint64_t end, uint64_t now_us)
{
    if (feed->mark_count > 0) {
        feed_mark *last = &feed->marks[(feed->mark_first + feed->mark_count - 1) % FEED_MARKS];
        if (since_us(now_us, last->opened_us) < feed->arbitration_us / 8 || feed->mark_count == FEED_MARKS) {
            last->end = end;
            last->at_us = now_us;
            return;
        }
    }
    feed->marks[(feed->mark_first + feed->mark_count) % FEED_MARKS] = {end, now_us, now_us};
    feed->mark_count++;
}

static void take_number(feed_state *feed, int line, uint64_t place, uint64_t now_us)
{
    if (place < feed->settled) {
        if (feed->settled - place <= FEED_WINDOW && is_lost(feed, place)) {
            set_lost(feed, place, false);
            feed->counts.late++;
            feed->counts.lost = feed->counts.missed - feed->counts.late;
            feed->counts.numbers++;
            feed->counts.first[line]++;
        }
        return;
    }
    unsigned char *who = &feed->who[place & (FEED_WINDOW - 1)];
    if (*who == 0) {
        feed->counts.numbers++;
        feed->counts.first[line]++;
    }
    *who = static_cast<unsigned char>(*who | (1u << line));
    if (place + 1 > feed->line_end[line])
        feed->line_end[line] = place + 1;
    if (place + 1 > feed->highest_end) {
        feed->highest_end = place + 1;
        mark_passed(feed, place + 1, now_us);
    }
}

int feed_deliver(feed_state *feed, int line, int64_t seq, uint32_t count, uint64_t now_us)
{
    if (count == 0)
        return 0;
    if (count > FEED_WINDOW / 2)
        count = FEED_WINDOW / 2;
    uint64_t place = unwrap(feed, seq);
    if (!feed->started || (place >= feed->highest_end && place + count - feed->settled > FEED_WINDOW &&
                           feed->settled == feed->highest_end)) {
        // The first number, or a jump past the window with nothing open: the feed starts here.
        feed->started = true;
        feed->settled = place;
        feed->highest_end = place;
        feed->decide_end = place;
        feed->mark_count = 0;
    } else if (place >= feed->settled && place + count - feed->settled > FEED_WINDOW) {
        return 1;
    }
    for (uint32_t i = 0; i < count; i++)
        take_number(feed, line, place + i, now_us);
    return 0;
}

// How far the feed may decide now: up to where every line has passed, or where the first line
// passed the arbitration time ago.
static uint64_t decidable_end(feed_state *feed, uint64_t now_us)
{
    uint64_t every_line = UINT64_MAX;
    for (int line = 0; line < feed->line_count; line++)
        if (feed->line_end[line] < every_line)
            every_line = feed->line_end[line];
    uint64_t end = every_line;
    while (feed->mark_count > 0 &&
           since_us(now_us, feed->marks[feed->mark_first].at_us) >= feed->arbitration_us) {
        if (feed->marks[feed->mark_first].end > end)
            end = feed->marks[feed->mark_first].end;
        feed->mark_first = (feed->mark_first + 1) % FEED_MARKS;
        feed->mark_count--;
    }
    return end;
}

int feed_settle(feed_state *feed, uint64_t now_us, bool at_end, feed_hole *holes, int holes_max)
{
    if (!feed->started)
        return 0;
    uint64_t end = at_end ? feed->highest_end : decidable_end(feed, now_us);
    // What was found decidable stays so when a full list of holes ends this call early.
    if (end > feed->decide_end)
        feed->decide_end = end < feed->highest_end ? end : feed->highest_end;
    end = feed->decide_end;
    int found = 0;
    uint64_t hole_end = 0;  // one past the last place of holes[found - 1]
    for (; feed->settled < end; feed->settled++) {
        uint64_t place = feed->settled;
        unsigned char *who = &feed->who[place & (FEED_WINDOW - 1)];
        if (*who == 0) {
            if (found > 0 && hole_end == place) {
                holes[found - 1].last = wrap(feed, place);
            } else {
                if (found == holes_max)
                    break;
                holes[found++] = {wrap(feed, place), wrap(feed, place)};
            }
            hole_end = place + 1;
            feed->counts.missed++;
            feed->counts.lost = feed->counts.missed - feed->counts.late;
        } else if ((*who & (*who - 1)) == 0) {
            feed->counts.alone[__builtin_ctz(*who)]++;
        }
        set_lost(feed, place, *who == 0);
        *who = 0;
    }
    // Past what was decided, the marks say nothing more.
    while (feed->mark_count > 0 && feed->marks[feed->mark_first].end <= feed->settled) {
        feed->mark_first = (feed->mark_first + 1) % FEED_MARKS;
        feed->mark_count--;
    }
    return found;
}
