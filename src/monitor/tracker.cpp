#include "monitor/tracker.h"

#include <string.h>

const char *seq_class_name(seq_class kind)
{
    static const char *const names[] = {"first", "next",     "gap",      "late",     "duplicate",
                                        "stale", "restart",  "unjudged", "heartbeat", "short"};
    return names[kind];
}

seq_rules rules_for_layout(const seq_layout *layout)
{
    if (!layout->given)
        return layout->short_seq ? seq_rules{UINT32_MAX, INT32_MAX, TRACK_WINDOW, true, false}
                                 : seq_rules{UINT64_MAX, INT64_MAX, TRACK_WINDOW, false, false};
    if (layout->payload == PAYLOAD_TS)
        return {0, 0, 0, false, true};
    uint64_t mask = field_mask(&layout->seq);
    if (layout->seq.width_bytes == 2)
        return {mask, RTP_DROPOUT_MAX, RTP_MISORDER_MAX, false, false};
    return {mask, mask >> 1, TRACK_WINDOW, false, false};
}

void add_saturating(uint64_t *count, uint64_t amount)
{
    *count = *count + amount < *count ? UINT64_MAX : *count + amount;
}

// A number as the field holds it: wrapped to its width, and with -f sign-extended as read.
static int64_t in_field(const tracker *track, uint64_t value)
{
    if (track->rules.signed_32)
        return static_cast<int32_t>(static_cast<uint32_t>(value));
    return static_cast<int64_t>(value & track->rules.mask);
}

// The step forward from one number to another, in the field's width.
static uint64_t forward(const tracker *track, int64_t from, int64_t to)
{
    return (static_cast<uint64_t>(to) - static_cast<uint64_t>(from)) & track->rules.mask;
}

static uint32_t position(uint64_t seq)
{
    return static_cast<uint32_t>(seq & (TRACK_WINDOW - 1));
}

static bool is_set(const tracker *track, uint32_t at)
{
    return (track->window[at / 64] >> (at % 64)) & 1u;
}

static void set_bit(tracker *track, uint32_t at, bool on)
{
    uint64_t mask = uint64_t(1) << (at % 64);
    track->window[at / 64] = on ? track->window[at / 64] | mask : track->window[at / 64] & ~mask;
}

// Holes in the window: numbers of the epoch not received. Numbers before the epoch's first
// have their bits set, so they never count.
static uint64_t open_holes(const tracker *track)
{
    uint64_t received = 0;
    for (uint64_t word : track->window)
        received += static_cast<uint64_t>(__builtin_popcountll(word));
    return TRACK_WINDOW - received;
}

// Moves the highest number up past holes numbers not received, then received numbers that
// were; the holes pushed out of the window are lost.
static void advance(tracker *track, uint64_t holes, uint64_t received)
{
    uint64_t steps = holes + received;
    uint64_t highest = static_cast<uint64_t>(track->highest);
    if (steps >= TRACK_WINDOW) {
        // The whole window is pushed out, and the first of the new numbers with it.
        add_saturating(&track->counts.lost, open_holes(track));
        uint64_t gone = steps - TRACK_WINDOW;
        add_saturating(&track->counts.lost, gone < holes ? gone : holes);
        uint64_t holes_kept = gone < holes ? holes - gone : 0;
        for (uint64_t k = 0; k < TRACK_WINDOW; k++)
            set_bit(track, position(highest + gone + 1 + k), k >= holes_kept);
    } else {
        for (uint64_t k = 1; k <= steps; k++) {
            uint32_t at = position(highest + k);
            track->counts.lost += !is_set(track, at);
            set_bit(track, at, k > holes);
        }
    }
    track->highest = in_field(track, highest + steps);
    track->top += steps;
    add_saturating(&track->span, steps);
}

// A new epoch whose first count numbers from first on were received (none for a heartbeat,
// whose number is the next expected).
static void start_epoch(tracker *track, int64_t first, uint32_t count)
{
    memset(track->window, 0xff, sizeof track->window);
    track->highest = in_field(track, static_cast<uint64_t>(first) - 1);
    track->top = (static_cast<uint64_t>(first) & track->rules.mask) - 1;
    track->epoch++;
    track->span = 0;
    if (count > 0)
        advance(track, 0, count);
}

void track_start(tracker *track, const seq_rules *rules, bool judges)
{
    memset(&track->counts, 0, sizeof track->counts);
    track->started = false;
    track->rules = *rules;
    track->judges = judges;
    track->have_candidate = false;
    track->candidate_count = 0;
    track->highest = 0;
    track->top = 0;
    track->epoch = 0;
}

// Numbers at or below the highest: seq and up to count - 1 after it, the first back numbers
// below the highest. Each is a duplicate, a late one filling its hole, or stale before the
// epoch's first number or at the window's edge. Returns the class of the datagram: late when
// it filled any hole, else a duplicate when it repeated any number, else stale.
static seq_class track_behind(tracker *track, int64_t seq, uint64_t back, uint64_t count)
{
    uint64_t late = 0, duplicates = 0, stale = 0;
    for (uint64_t i = 0; i < count; i++) {
        uint64_t distance = back - i;
        uint32_t at = position(static_cast<uint64_t>(seq) + i);
        if (distance == TRACK_WINDOW || distance >= track->span) {
            stale++;
        } else if (is_set(track, at)) {
            duplicates++;
        } else {
            set_bit(track, at, true);
            late++;
        }
    }
    add_saturating(&track->counts.late, late);
    add_saturating(&track->counts.unique, late);
    add_saturating(&track->counts.duplicates, duplicates);
    add_saturating(&track->counts.stale, stale);
    return late > 0 ? SEQ_LATE : duplicates > 0 ? SEQ_DUPLICATE : SEQ_STALE;
}

// The datagram after a restart's first: the sender started again there. The first, counted
// stale while it was alone, opens the new epoch.
static seq_class confirm_restart(tracker *track, uint32_t count)
{
    add_saturating(&track->counts.lost, open_holes(track));
    track->counts.restarts++;
    track->counts.stale -= track->candidate_count;
    add_saturating(&track->counts.unique, uint64_t(track->candidate_count) + count);
    start_epoch(track, track->candidate, track->candidate_count);
    advance(track, 0, count);
    return SEQ_RESTART;
}

// A heartbeat carries no number: its seq is the next one expected, so one ahead of the highest
// + 1 shows that the numbers before it were skipped.
static seq_class track_heartbeat(tracker *track, int64_t seq)
{
    uint64_t step = forward(track, track->highest, seq);
    if (step < 2 || step > track->rules.ahead_max)
        return SEQ_HEARTBEAT;
    add_saturating(&track->counts.missed, step - 1);
    advance(track, step - 1, 0);
    return SEQ_GAP;
}

static seq_class judge_datagram(tracker *track, int64_t seq, uint32_t count, int length_bytes)
{
    track->counts.datagrams++;
    add_saturating(&track->counts.received, count);
    add_saturating(&track->counts.bytes, static_cast<uint64_t>(length_bytes));
    if (!track->judges) {
        add_saturating(&track->counts.unique, count);
        track->highest = seq;
        return SEQ_UNJUDGED;
    }
    if (!track->started) {
        track->started = true;
        track->counts.first_seq = seq;
        add_saturating(&track->counts.unique, count);
        start_epoch(track, seq, count);
        return SEQ_FIRST;
    }
    if (track->have_candidate) {
        track->have_candidate = false;
        if (forward(track, track->candidate, seq) == (track->candidate_count & track->rules.mask))
            return confirm_restart(track, count);
    }
    if (count == 0)
        return track_heartbeat(track, seq);
    uint64_t step = forward(track, track->highest, seq);
    if (step != 0 && step <= track->rules.ahead_max) {
        add_saturating(&track->counts.missed, step - 1);
        add_saturating(&track->counts.unique, count);
        advance(track, step - 1, count);
        return step == 1 ? SEQ_NEXT : SEQ_GAP;
    }
    uint64_t back = forward(track, seq, track->highest);
    if (back <= track->rules.back_max) {
        // Numbers past the highest in the same datagram move the stream on.
        uint64_t behind = count < back + 1 ? count : back + 1;
        seq_class kind = track_behind(track, seq, back, behind);
        if (count > behind) {
            add_saturating(&track->counts.unique, count - behind);
            advance(track, 0, count - behind);
            return SEQ_NEXT;
        }
        return kind;
    }
    // Far from the highest: a restart's first datagram or a stray, until the next one tells.
    track->have_candidate = true;
    track->candidate = seq;
    track->candidate_count = count;
    add_saturating(&track->counts.stale, count);
    return SEQ_STALE;
}

// The place of seq, judged against the highest before the datagram moved it.
static uint64_t place_of(const tracker *track, int64_t seq, int64_t highest, uint64_t top)
{
    uint64_t step = forward(track, highest, seq);
    if (step != 0 && step <= track->rules.ahead_max)
        return top + step;
    return top - forward(track, seq, highest);
}

seq_class track(tracker *track, int64_t seq, uint32_t count, int length_bytes, track_place *place)
{
    int64_t highest = track->highest;
    uint64_t top = track->top;
    uint32_t candidate_count = track->candidate_count;
    seq_class kind = judge_datagram(track, seq, count, length_bytes);
    if (place == nullptr)
        return kind;
    *place = {true, track->epoch, 0, count, track->top + 1};
    if (kind == SEQ_UNJUDGED || (kind == SEQ_STALE && track->have_candidate)) {
        place->placed = false;
    } else if (kind == SEQ_FIRST) {
        place->first = static_cast<uint64_t>(seq) & track->rules.mask;
    } else if (kind == SEQ_RESTART) {
        place->first = track->top + 1 - candidate_count - count;
        place->count = candidate_count + count;
    } else {
        place->first = place_of(track, seq, highest, top);
    }
    return kind;
}

void track_short(tracker *track, int length_bytes)
{
    track->counts.datagrams++;
    track->counts.received++;
    track->counts.short_datagrams++;
    add_saturating(&track->counts.bytes, static_cast<uint64_t>(length_bytes));
}

void track_outage(tracker *track, uint64_t outage_us)
{
    add_saturating(&track->counts.outage_us, outage_us);
    if (outage_us > track->counts.longest_outage_us)
        track->counts.longest_outage_us = outage_us;
}

track_counts track_snapshot(const tracker *track)
{
    track_counts counts = track->counts;
    counts.last_seq = track->highest;
    // Every number skipped was filled late, pushed out of the window lost, or is a hole still
    // open: the holes are missed - late - lost, without a scan of the window, which a page of
    // a thousand senders would otherwise pay for on every scrape.
    if (track->started && counts.missed >= counts.late && counts.missed - counts.late > counts.lost)
        counts.lost = counts.missed - counts.late;
    return counts;
}

void add_counts(track_counts *total, const track_counts *counts)
{
    add_saturating(&total->received, counts->received);
    add_saturating(&total->datagrams, counts->datagrams);
    add_saturating(&total->short_datagrams, counts->short_datagrams);
    add_saturating(&total->bytes, counts->bytes);
    add_saturating(&total->unique, counts->unique);
    add_saturating(&total->duplicates, counts->duplicates);
    add_saturating(&total->missed, counts->missed);
    add_saturating(&total->late, counts->late);
    add_saturating(&total->lost, counts->lost);
    add_saturating(&total->stale, counts->stale);
    add_saturating(&total->restarts, counts->restarts);
    add_saturating(&total->outage_us, counts->outage_us);
    if (counts->longest_outage_us > total->longest_outage_us)
        total->longest_outage_us = counts->longest_outage_us;
}
