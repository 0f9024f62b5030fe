#include "monitor/feed.h"

#include <stdlib.h>
#include <string.h>

#include "timer/timer.h"

static_assert(sizeof(feed_slot) == 24, "the memory bound stated for FEED_WINDOW_MAX");
static_assert(FEED_LINES_MAX <= 8, "a slot's who holds a bit a line");

int feed_open(feed_state *feed, const seq_rules *rules, int line_count, uint64_t arbitration_us)
{
    *feed = feed_state{};
    feed->rules = *rules;
    feed->line_count = line_count;
    feed->arbitration_us = arbitration_us;
    feed->lag_line = -1;
    feed->window = FEED_WINDOW_FIRST;
    feed->slots = static_cast<feed_slot *>(calloc(FEED_WINDOW_FIRST, sizeof(feed_slot)));
    return feed->slots == nullptr ? -1 : 0;
}

void feed_close(feed_state *feed)
{
    free(feed->slots);
    feed->slots = nullptr;
}

// Places are compared by their wrapping distance: the feed holds far fewer than 2^63 of them.
static bool before(uint64_t a, uint64_t b)
{
    return static_cast<int64_t>(a - b) < 0;
}

static uint64_t later(uint64_t a, uint64_t b)
{
    return before(a, b) ? b : a;
}

static feed_slot *slot_of(const feed_state *feed, uint64_t place)
{
    return &feed->slots[place & (feed->window - 1)];
}

static int64_t field_number(const feed_state *feed, const feed_epoch *epoch, uint64_t place)
{
    uint64_t value = (place - epoch->base) & feed->rules.mask;
    if (feed->rules.signed_32)
        return static_cast<int32_t>(static_cast<uint32_t>(value));
    return static_cast<int64_t>(value);
}

// The offset that puts a line's place where its field number is nearest the epoch's highest.
static uint64_t offset_into(const feed_state *feed, const feed_epoch *epoch, uint64_t line_place)
{
    uint64_t mask = feed->rules.mask;
    uint64_t reference = epoch->front == epoch->start ? epoch->start : epoch->front - 1;
    uint64_t ahead = (line_place - (reference - epoch->base)) & mask;
    uint64_t place = ahead <= mask / 2 ? reference + ahead : reference - (mask - ahead) - 1;
    return place - line_place;
}

// Where a datagram goes: the epoch and offset of its line, and whether it opens the next epoch.
struct feed_mapping {
    bool taken;
    int epoch;
    uint64_t offset;
    bool opens;
};

static feed_mapping map_datagram(const feed_state *feed, int line, const feed_datagram *datagram)
{
    const feed_line *ln = &feed->lines[line];
    if (!datagram->new_epoch)
        return {ln->in_epoch && ln->key == datagram->epoch_key, ln->epoch, ln->offset, false};
    if (!feed->started)
        return {true, 0, 0, false};
    const feed_epoch *present = &feed->epochs[feed->present];
    const feed_epoch *next = &feed->epochs[1 - feed->present];
    // A line's first numbering, or its first since its restart alone: the present one's.
    if (!(present->members & (1u << line)) && !(ln->in_epoch && ln->epoch != feed->present))
        return {true, feed->present, offset_into(feed, present, datagram->first), false};
    if (next->used)
        return {true, 1 - feed->present, offset_into(feed, next, datagram->first), false};
    uint64_t start = later(feed->ring_end, present->front) + FEED_EPOCH_GAP;
    return {true, 1 - feed->present, start - datagram->first, true};
}

// The window grows to hold places from the settled one to end. Returns false where it may not.
static bool make_room(feed_state *feed, uint64_t end)
{
    uint64_t needed = end - feed->settled;
    if (needed <= feed->window)
        return true;
    if (needed > FEED_WINDOW_MAX)
        return false;
    uint32_t window = feed->window;
    while (window < needed)
        window *= 2;
    feed_slot *slots = static_cast<feed_slot *>(calloc(window, sizeof(feed_slot)));
    if (slots == nullptr)
        return false;
    // Decided places stay, so that a late copy of a lost one is still known.
    for (uint64_t place = feed->ring_end - feed->window; place != feed->ring_end; place++)
        slots[place & (window - 1)] = *slot_of(feed, place);
    free(feed->slots);
    feed->slots = slots;
    feed->window = window;
    return true;
}

static void clear_places(feed_state *feed, uint64_t from, uint64_t end)
{
    for (uint64_t place = from; before(place, end); place++)
        *slot_of(feed, place) = feed_slot{};
}

static void join(feed_state *feed, int line, const feed_datagram *datagram, const feed_mapping *to)
{
    feed_line *ln = &feed->lines[line];
    if (ln->in_epoch)
        feed->epochs[ln->epoch].members &= ~(1u << line);
    feed_epoch *epoch = &feed->epochs[to->epoch];
    if (!feed->started || to->opens) {
        uint64_t start = datagram->first + to->offset;
        *epoch = {true, false, start, start, to->offset, 0};
        if (!feed->started) {
            feed->started = true;
            // Every mark of the run is a place near the first, as they are compared by distance.
            feed->settled = feed->ring_end = feed->room_end = start;
        }
    }
    epoch->members |= 1u << line;
    ln->in_epoch = true;
    ln->epoch = to->epoch;
    ln->key = datagram->epoch_key;
    ln->offset = to->offset;
    const feed_epoch *present = &feed->epochs[feed->present];
    feed->epochs[1 - feed->present].followed = present->members == 0;
}

// A line of the present epoch reached the next: the lines that opened it restarted alone, and
// take their numbers into the present one by their field.
static void drop_next(feed_state *feed)
{
    feed_epoch *present = &feed->epochs[feed->present];
    feed_epoch *next = &feed->epochs[1 - feed->present];
    clear_places(feed, next->start, next->front);
    feed->ring_end = present->front;
    next->used = false;
    for (int line = 0; line < feed->line_count; line++) {
        feed_line *ln = &feed->lines[line];
        if (!ln->in_epoch || ln->epoch == feed->present)
            continue;
        uint64_t line_place = next->front - 1 - ln->offset;
        ln->offset = offset_into(feed, present, line_place);
        ln->epoch = feed->present;
        present->members |= 1u << line;
    }
}

// A number delivered after its decision: late when it had been lost.
static void take_decided(feed_state *feed, int line, uint64_t place)
{
    if (feed->ring_end - place <= feed->window) {
        feed_slot *slot = slot_of(feed, place);
        if (slot->lost) {
            slot->lost = 0;
            feed->counts.late++;
            feed->counts.lost = feed->counts.missed - feed->counts.late;
            feed->counts.numbers++;
            feed->counts.first[line]++;
            feed->counts.alone[line]++;
        }
    }
    if (feed->decided_early && !before(place, feed->early_from) && before(place, feed->early_end) &&
        feed->lag_line < 0)
        feed->lag_line = line;
}

static void take_number(feed_state *feed, int line, const feed_epoch *epoch, uint64_t place,
                        uint64_t arrival_us)
{
    if (before(place, feed->settled)) {
        take_decided(feed, line, place);
        return;
    }
    if (before(place, epoch->start))
        return;
    // First by arrival, whatever order the lines were read in: a copy that came earlier takes
    // the number over.
    feed_slot *slot = slot_of(feed, place);
    if (slot->who == 0) {
        feed->counts.numbers++;
    } else if (arrival_us < slot->first_us) {
        feed->counts.first[slot->first_line]--;
    } else {
        slot->who = static_cast<uint8_t>(slot->who | (1u << line));
        return;
    }
    feed->counts.first[line]++;
    slot->first_line = static_cast<uint8_t>(line);
    slot->first_us = arrival_us;
    slot->who = static_cast<uint8_t>(slot->who | (1u << line));
}

int feed_deliver(feed_state *feed, int line, const feed_datagram *datagram)
{
    feed_line *ln = &feed->lines[line];
    if (!ln->heard || datagram->arrival_us > ln->last_us)
        ln->last_us = datagram->arrival_us;
    ln->heard = true;
    feed_mapping to = map_datagram(feed, line, datagram);
    if (!to.taken)
        return 0;
    uint64_t pass_end = datagram->passed_end + to.offset;
    bool in_present = feed->started && to.epoch == feed->present;
    if (in_present && feed->epochs[1 - feed->present].used &&
        !before(pass_end, feed->epochs[1 - feed->present].start))
        drop_next(feed);
    if (feed->started && !make_room(feed, later(pass_end, feed->ring_end))) {
        // Only the present numbering may push the oldest out before their time.
        if (!in_present)
            return 0;
        if (feed->epochs[1 - feed->present].used)
            drop_next(feed);
        feed->room_end = pass_end - FEED_WINDOW_MAX;
        return 1;
    }
    if (datagram->new_epoch)
        join(feed, line, datagram, &to);
    feed_epoch *epoch = &feed->epochs[to.epoch];
    if (before(epoch->front, pass_end)) {
        for (uint64_t place = later(epoch->front, feed->settled); before(place, pass_end); place++)
            *slot_of(feed, place) = {0, datagram->arrival_us, 0, 0, 0};
        epoch->front = pass_end;
        feed->ring_end = later(feed->ring_end, pass_end);
    }
    uint64_t first = datagram->first + to.offset;
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
static void skip_places(feed_state *feed, uint64_t end)
{
    feed_epoch *present = &feed->epochs[feed->present];
    feed->counts.missed += end - feed->settled;
    feed->counts.lost = feed->counts.missed - feed->counts.late;
    mark_early(feed, feed->settled, end);
    feed->settled = present->front = end;
    feed->ring_end = later(feed->ring_end, end);
}

static void decide(feed_state *feed, feed_slot *slot)
{
    if (slot->who == 0) {
        feed->counts.missed++;
        feed->counts.lost = feed->counts.missed - feed->counts.late;
        slot->lost = 1;
        return;
    }
    if ((slot->who & (slot->who - 1)) == 0)
        feed->counts.alone[__builtin_ctz(slot->who)]++;
    slot->who = 0;
    slot->lost = 0;
}

// Adds the place, or the run of places from place to end, to the holes. Returns false when
// the list is full.
static bool note_hole(const feed_state *feed, uint64_t place, uint64_t end, feed_hole *holes,
                      int *found, int holes_max, uint64_t *hole_end)
{
    const feed_epoch *epoch = &feed->epochs[feed->present];
    if (*found > 0 && *hole_end == place) {
        holes[*found - 1].last = field_number(feed, epoch, end - 1);
    } else {
        if (*found == holes_max)
            return false;
        holes[(*found)++] = {field_number(feed, epoch, place), field_number(feed, epoch, end - 1)};
    }
    *hole_end = end;
    return true;
}

// The present epoch is decided: the next one, once every line followed it, is the present.
static bool follow_next(feed_state *feed, bool at_end)
{
    feed_epoch *next = &feed->epochs[1 - feed->present];
    if (!next->used || !(next->followed || at_end))
        return false;
    feed->epochs[feed->present].used = false;
    feed->present = 1 - feed->present;
    feed->settled = next->start;
    for (int line = 0; line < feed->line_count; line++)
        if (feed->lines[line].epoch != feed->present)
            feed->lines[line].in_epoch = false;
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
    int found = 0;
    uint64_t hole_end = 0;
    for (;;) {
        uint64_t place = feed->settled;
        if (!before(place, feed->epochs[feed->present].front)) {
            if (follow_next(feed, at_end))
                continue;
            if (!before(place, feed->room_end))
                break;
            if (!note_hole(feed, place, feed->room_end, holes, &found, holes_max, &hole_end))
                break;
            skip_places(feed, feed->room_end);
            continue;
        }
        feed_slot *slot = slot_of(feed, place);
        bool due = now_us >= slot->passed_us && now_us - slot->passed_us >= feed->arbitration_us;
        if (!due && !at_end && !before(place, feed->room_end))
            break;
        if (slot->who == 0 && !note_hole(feed, place, place + 1, holes, &found, holes_max, &hole_end))
            break;
        if (!due && !at_end)
            mark_early(feed, place, place + 1);
        decide(feed, slot);
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
