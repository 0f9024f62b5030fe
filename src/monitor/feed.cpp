#include "monitor/feed.h"

#include "monitor/feed_behind.h"
#include "monitor/feed_numbering.h"
#include "monitor/feed_timeline.h"
#include "monitor/feed_window.h"
#include "timer/timer.h"

static_assert(FEED_LINES_MAX <= 8, "a slot's who holds a bit a line");

int feed_open(feed_state *feed, const seq_rules *rules, int line_count, uint64_t arbitration_us,
              uint64_t max_skew_us)
{
    *feed = feed_state{};
    feed->rules = *rules;
    feed->line_count = line_count;
    feed->arbitration_us = arbitration_us;
    feed->max_skew_us = max_skew_us;
    feed->lag_line = -1;
    return window_open(feed);
}

void feed_close(feed_state *feed)
{
    window_close(feed);
}

static int64_t field_number(const feed_state *feed, const feed_epoch *epoch, uint64_t place)
{
    uint64_t value = (place - epoch->base) & feed->rules.mask;
    if (feed->rules.signed_32)
        return static_cast<int32_t>(static_cast<uint32_t>(value));
    return static_cast<int64_t>(value);
}

// Where a report draws the feed: numbers missed and filled late when that happened, and each
// line's alone at the time of its copy.
static void chart_missed(feed_state *feed, uint64_t at_us, uint64_t count)
{
    if (feed->timeline != nullptr && count != 0)
        feed_timeline_missed(feed->timeline, at_us, count);
}

static void chart_late(feed_state *feed, uint64_t at_us)
{
    if (feed->timeline != nullptr)
        feed_timeline_late(feed->timeline, at_us);
}

static void chart_alone(feed_state *feed, int line, uint64_t at_us, bool gained)
{
    if (feed->timeline != nullptr)
        feed_timeline_alone(feed->timeline, line, at_us, gained);
}

// A number delivered after its decision: late when it had been lost, and no longer the other
// line's alone when it had one.
static void take_decided(feed_state *feed, int line, uint64_t place, uint64_t arrival_us)
{
    bool early = feed->decided_early && !before(place, feed->early_from) && before(place, feed->early_end);
    bool held = feed->ring_end - place <= feed->window;
    if ((early || !held) && feed->lag_line < 0)
        feed->lag_line = line;
    feed_slot *slot = held ? window_slot(feed, place) : nullptr;
    uint8_t bit = static_cast<uint8_t>(1u << line);
    if (held ? slot->lost : window_remembered_lost(feed, place)) {
        window_mark_lost(feed, place, false);
        if (held) {
            slot->lost = 0;
            slot->who = bit;
            slot->first_us = arrival_us;
            slot->first_line = static_cast<uint8_t>(line);
            judge_window(feed, slot);
        } else if (feed->max_skew_us != FEED_NO_MAX_SKEW) {
            // Its number was let go: the copy came later than any window the feed measures.
            feed->counts.lost_in_window++;
            feed->counts.beyond[line]++;
        }
        feed->counts.late++;
        feed->counts.lost = feed->counts.missed - feed->counts.late;
        feed->counts.numbers++;
        feed->counts.first[line]++;
        feed->counts.alone[line]++;
        chart_late(feed, arrival_us);
        chart_alone(feed, line, arrival_us, true);
        return;
    }
    if (!held)
        return;
    if (slot->who == 0) {
        // Past the numbering's highest when the feed went on to the next (a line lagging in it
        // still delivers): no line passed it before this copy, which is in time.
        slot->who = bit;
        slot->first_us = slot->passed_us = arrival_us;
        slot->first_line = static_cast<uint8_t>(line);
        feed->counts.numbers++;
        feed->counts.first[line]++;
        feed->counts.alone[line]++;
        chart_alone(feed, line, arrival_us, true);
        return;
    }
    if (slot->who & bit)
        return;
    if (slot->who != 0 && (slot->who & (slot->who - 1)) == 0) {
        feed->counts.alone[__builtin_ctz(slot->who)]--;
        chart_alone(feed, __builtin_ctz(slot->who), slot->first_us, false);
    }
    if (slot->who != 0 && arrival_us < slot->first_us) {
        // First by arrival, as before the decision: the share moves with the number.
        feed->counts.first[slot->first_line]--;
        feed->counts.first[line]++;
        note_earlier_copy(feed, slot, line, arrival_us);
        slot->first_us = arrival_us;
        slot->first_line = static_cast<uint8_t>(line);
        judge_window(feed, slot);
    } else if (slot->who != 0) {
        note_later_copy(feed, slot, line, arrival_us);
    }
    slot->who = static_cast<uint8_t>(slot->who | bit);
}

static void take_number(feed_state *feed, int line, const feed_epoch *epoch, uint64_t place,
                        uint64_t arrival_us)
{
    if (before(place, epoch->start))
        return;
    if (before(place, feed->settled)) {
        take_decided(feed, line, place, arrival_us);
        return;
    }
    // First by arrival, whatever order the lines were read in: a copy that came earlier takes
    // the number over.
    feed_slot *slot = window_slot(feed, place);
    bool new_line = !(slot->who & (1u << line));
    if (slot->who == 0) {
        feed->counts.numbers++;
    } else if (arrival_us < slot->first_us) {
        feed->counts.first[slot->first_line]--;
        if (new_line)
            note_earlier_copy(feed, slot, line, arrival_us);
    } else {
        if (new_line)
            note_later_copy(feed, slot, line, arrival_us);
        slot->who = static_cast<uint8_t>(slot->who | (1u << line));
        return;
    }
    feed->counts.first[line]++;
    slot->first_line = static_cast<uint8_t>(line);
    slot->first_us = arrival_us;
    slot->who = static_cast<uint8_t>(slot->who | (1u << line));
}

// A line's numbers below its epoch's first (it joined lower than the line that began it) are the
// epoch's too, passed when the epoch began; where some were decided, these are decided at once.
// A numbering after the present one has nothing decided. A line reaches down as far as the
// numbering before's places.
static void reach_down(feed_state *feed, uint32_t k, uint64_t first)
{
    feed_epoch *epoch = epoch_at(feed, k);
    if (!before(first, epoch->start) || feed->ring_end - first > feed->window)
        return;
    if (k != feed->oldest && before(first, epoch_at(feed, k - 1)->front))
        first = epoch_at(feed, k - 1)->front;
    if (!before(first, epoch->start))
        return;
    bool next = static_cast<int32_t>(k - feed->present) > 0;
    bool undecided = next || (k == feed->present && feed->settled == epoch->start);
    for (uint64_t place = first; before(place, epoch->start); place++) {
        *window_slot(feed, place) = {0, epoch->began_us, 0, 0, static_cast<uint8_t>(!undecided), 0, 0};
        window_mark_lost(feed, place, !undecided);
    }
    if (undecided && !next) {
        if (!before(epoch->start, feed->room_end) && before(first, feed->room_end))
            feed->room_end = first;
        feed->settled = first;
    } else if (!undecided) {
        feed->counts.missed += epoch->start - first;
        chart_missed(feed, epoch->began_us, epoch->start - first);
        feed->counts.lost = feed->counts.missed - feed->counts.late;
    }
    epoch->start = first;
}

// The line passed every place below pass_end at arrival_us: each place keeps its earliest pass,
// whichever line was read first.
static void pass_places(feed_state *feed, feed_line *ln, feed_epoch *epoch, uint64_t pass_end,
                        uint64_t arrival_us)
{
    uint64_t seen_end = before(pass_end, epoch->front) ? pass_end : epoch->front;
    for (uint64_t place = later(ln->front, feed->settled); before(place, seen_end); place++) {
        feed_slot *slot = window_slot(feed, place);
        if (arrival_us < slot->passed_us)
            slot->passed_us = arrival_us;
    }
    if (before(epoch->front, pass_end)) {
        for (uint64_t place = later(epoch->front, feed->settled); before(place, pass_end); place++)
            *window_slot(feed, place) = {0, arrival_us, 0, 0, 0, 0, 0};
        epoch->front = pass_end;
        window_advance(feed, pass_end);
    }
    ln->front = later(ln->front, pass_end);
}

void feed_heard_until(feed_state *feed, int line, uint64_t at_us)
{
    feed_line *ln = &feed->lines[line];
    if (ln->heard && at_us > ln->last_us)
        ln->last_us = at_us;
}

int feed_deliver(feed_state *feed, int line, const feed_datagram *datagram)
{
    feed_line *ln = &feed->lines[line];
    if (!ln->heard || datagram->arrival_us > ln->last_us)
        ln->last_us = datagram->arrival_us;
    ln->heard = true;
    feed_mapping to = map_datagram(feed, line, datagram);
    if (!to.taken) {
        // Its numbering was let go (or it moved on from one that was): the line lags.
        if (ln->placed && static_cast<int32_t>(to.epoch - feed->oldest) < 0) {
            ln->epoch = to.epoch;
            if (feed->lag_line < 0)
                feed->lag_line = line;
        }
        return 0;
    }
    if (to.closes) {
        feed->closing_present = true;
        return 1;
    }
    uint64_t pass_end = datagram->passed_end + to.offset;
    uint64_t first = datagram->first + to.offset;
    bool in_present = feed->started && to.epoch == feed->present;
    if (feed->started && to.epoch != feed->newest && !to.opens &&
        !before(pass_end, epoch_at(feed, to.epoch + 1)->start)) {
        // Only the newest numbering is undecided enough to be dropped; a line that runs into
        // any other is lagging past what the feed can tell apart.
        if (to.epoch + 1 != feed->newest || feed->newest == feed->present)
            return 0;
        drop_newest(feed);
    }
    uint64_t from = feed->started ? held_from(feed) : 0;
    if (in_present && datagram->count > 0 && before(first, from))
        from = first;
    if (feed->started && !window_make_room(feed, from, later(pass_end, feed->ring_end))) {
        // Only the present numbering may push the oldest out before their time.
        if (!in_present)
            return 0;
        while (feed->newest != feed->present)
            drop_newest(feed);
        feed->room_end = pass_end - FEED_WINDOW_MAX;
        return 1;
    }
    if (datagram->new_epoch)
        join(feed, line, datagram, &to);
    feed_epoch *epoch = epoch_at(feed, to.epoch);
    if (datagram->arrival_us < epoch->began_us)
        epoch->began_us = datagram->arrival_us;
    if (datagram->count > 0)
        reach_down(feed, to.epoch, first);
    pass_places(feed, ln, epoch, pass_end, datagram->arrival_us);
    for (uint32_t i = 0; i < datagram->count; i++)
        take_number(feed, line, epoch, first + i, datagram->arrival_us);
    return 0;
}

// Places from to end were decided before their time, to make room.
static void mark_early(feed_state *feed, uint64_t from, uint64_t end)
{
    if (!feed->decided_early) {
        feed->decided_early = true;
        feed->early_from = from;
    }
    feed->early_end = end;
}

// Places from the settled one to end that no line passed: a jump too long to hold.
static void skip_places(feed_state *feed, uint64_t end, uint64_t now_us)
{
    feed_epoch *present = epoch_at(feed, feed->present);
    window_advance(feed, end);
    // Only the places the window or its bits still hold are marked.
    uint64_t span = feed->lost_bits != nullptr ? FEED_LOST_SPAN : feed->window;
    uint64_t from = feed->ring_end - feed->settled > span ? feed->ring_end - span : feed->settled;
    for (uint64_t place = from; before(place, end); place++) {
        if (feed->ring_end - place <= feed->window)
            *window_slot(feed, place) = {0, 0, 0, 0, 1, 0, 0};
        window_mark_lost(feed, place, true);
    }
    feed->counts.missed += end - feed->settled;
    feed->counts.lost = feed->counts.missed - feed->counts.late;
    chart_missed(feed, now_us, end - feed->settled);
    mark_early(feed, feed->settled, end);
    feed->settled = present->front = end;
}

// Missed when no copy had come the arbitration time after a line first passed it; late when
// the earliest came after that. at_us: when it fell due, or was decided before.
static void decide(feed_state *feed, uint64_t place, uint64_t at_us)
{
    feed_slot *slot = window_slot(feed, place);
    bool in_time = slot->who != 0 && (slot->first_us < slot->passed_us ||
                                      slot->first_us - slot->passed_us < feed->arbitration_us);
    slot->lost = slot->who == 0;
    window_mark_lost(feed, place, slot->lost);
    if (!in_time) {
        feed->counts.missed++;
        chart_missed(feed, at_us, 1);
        if (slot->who != 0) {
            feed->counts.late++;
            chart_late(feed, slot->first_us);
        }
        feed->counts.lost = feed->counts.missed - feed->counts.late;
    }
    if (slot->who != 0 && (slot->who & (slot->who - 1)) == 0) {
        feed->counts.alone[__builtin_ctz(slot->who)]++;
        chart_alone(feed, __builtin_ctz(slot->who), slot->first_us, true);
    }
    if (slot->who != 0)
        judge_window(feed, slot);
}

// Adds the place, or the run of places from place to end, to the holes. Returns false when
// the list is full.
static bool note_hole(const feed_state *feed, uint64_t place, uint64_t end, uint64_t due_us,
                      feed_hole *holes, int *found, int holes_max, uint64_t *hole_end)
{
    const feed_epoch *epoch = epoch_of(feed, feed->present);
    if (*found > 0 && *hole_end == place) {
        holes[*found - 1].last = field_number(feed, epoch, end - 1);
    } else {
        if (*found == holes_max)
            return false;
        holes[(*found)++] = {field_number(feed, epoch, place), field_number(feed, epoch, end - 1),
                             due_us};
    }
    *hole_end = end;
    return true;
}

// The time the feed may decide at: now, or where a line heard within the arbitration time was
// last heard, if earlier. A line's copies are taken in their order of arrival, so one read
// later than another line's (its socket's queue drained after) still counts at its own time;
// a line silent longer than the arbitration time holds nothing up.
static uint64_t decision_us(const feed_state *feed, uint64_t now_us)
{
    uint64_t at_us = now_us;
    for (int line = 0; line < feed->line_count; line++) {
        const feed_line *ln = &feed->lines[line];
        if (ln->heard && ln->last_us < at_us && now_us - ln->last_us < feed->arbitration_us)
            at_us = ln->last_us;
    }
    return at_us;
}

int feed_settle(feed_state *feed, uint64_t now_us, bool at_end, feed_hole *holes, int holes_max)
{
    if (!feed->started)
        return 0;
    now_us = decision_us(feed, now_us);
    bool closing = at_end || feed->closing_present;
    int found = 0;
    uint64_t hole_end = 0;
    for (;;) {
        uint64_t place = feed->settled;
        if (!before(place, epoch_at(feed, feed->present)->front)) {
            if (follow_next(feed, closing)) {
                feed->closing_present = false;
                closing = at_end;
                continue;
            }
            if (!before(place, feed->room_end))
                break;
            if (!note_hole(feed, place, feed->room_end, 0, holes, &found, holes_max, &hole_end))
                break;
            skip_places(feed, feed->room_end, now_us);
            continue;
        }
        feed_slot *slot = window_slot(feed, place);
        bool due = now_us >= slot->passed_us && now_us - slot->passed_us >= feed->arbitration_us;
        if (!due && !closing && !before(place, feed->room_end))
            break;
        uint64_t due_us = due ? slot->passed_us + feed->arbitration_us : 0;
        if (slot->who == 0 &&
            !note_hole(feed, place, place + 1, due_us, holes, &found, holes_max, &hole_end))
            break;
        if (!due && !closing)
            mark_early(feed, place, place + 1);
        decide(feed, place, due ? due_us : now_us);
        feed->settled = place + 1;
    }
    return found;
}

bool feed_may_decide(const feed_state *feed, uint64_t now_us, uint64_t slack_us)
{
    for (int line = 0; line < feed->line_count; line++) {
        const feed_line *ln = &feed->lines[line];
        if (ln->heard && elapsed_us(now_us, ln->last_us) <= feed->arbitration_us + slack_us)
            return true;
    }
    return false;
}
