#include "monitor/tracker.h"

#include <string.h>

const char *seq_class_name(seq_class kind)
{
    static const char *const names[] = {"first", "next",  "gap",     "late",
                                        "duplicate", "stale", "restart", "unjudged"};
    return names[kind];
}

// The step from one number to another, in the field's own width.
static int64_t step_between(const tracker *track, int64_t from, int64_t to)
{
    if (track->short_seq)
        return static_cast<int32_t>(static_cast<uint32_t>(to) - static_cast<uint32_t>(from));
    return static_cast<int64_t>(static_cast<uint64_t>(to) - static_cast<uint64_t>(from));
}

static void add_saturating(uint64_t *count, uint64_t amount)
{
    *count = *count + amount < *count ? UINT64_MAX : *count + amount;
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

static void start_epoch(tracker *track, int64_t seq)
{
    memset(track->window, 0xff, sizeof track->window);
    track->highest = seq;
    track->span = 0;
}

// Moves the highest number up by steps (at least 1): the numbers passed over become holes,
// the last one is received, and the holes they push out of the window are lost.
static void advance(tracker *track, uint64_t steps)
{
    uint64_t highest = static_cast<uint64_t>(track->highest);
    if (steps >= TRACK_WINDOW) {
        add_saturating(&track->counts.lost, open_holes(track));
        add_saturating(&track->counts.lost, steps - TRACK_WINDOW);
        memset(track->window, 0, sizeof track->window);
    } else {
        for (uint64_t k = 1; k < steps; k++) {
            uint32_t at = position(highest + k);
            track->counts.lost += !is_set(track, at);
            set_bit(track, at, false);
        }
        track->counts.lost += !is_set(track, position(highest + steps));
    }
    set_bit(track, position(highest + steps), true);
    uint64_t moved = highest + steps;
    track->highest = track->short_seq ? static_cast<int32_t>(static_cast<uint32_t>(moved))
                                      : static_cast<int64_t>(moved);
    track->span = track->span + steps < track->span ? UINT64_MAX : track->span + steps;
}

void track_start(tracker *track, bool short_seq, bool judges)
{
    memset(&track->counts, 0, sizeof track->counts);
    track->started = false;
    track->short_seq = short_seq;
    track->judges = judges;
    track->have_candidate = false;
}

// A number at or below the highest. One far below is a restart's first number or a stray
// (a duplicate from long ago, a second sender on the same address): as RTP receivers do, it is
// taken for a restart only when the next number follows it, and is stale until then.
static seq_class track_behind(tracker *track, int64_t seq, uint64_t back)
{
    if (back > TRACK_WINDOW) {
        track->have_candidate = true;
        track->candidate = seq;
        track->counts.stale++;
        return SEQ_STALE;
    }
    if (back == TRACK_WINDOW || back > track->span) {
        track->counts.stale++;
        return SEQ_STALE;
    }
    uint32_t at = position(static_cast<uint64_t>(seq));
    if (is_set(track, at)) {
        track->counts.duplicates++;
        return SEQ_DUPLICATE;
    }
    set_bit(track, at, true);
    track->counts.late++;
    track->counts.unique++;
    return SEQ_LATE;
}

// The number after a restart's first: the sender started again there. The first one, counted
// stale while it was alone, is the new epoch's first number.
static seq_class confirm_restart(tracker *track)
{
    add_saturating(&track->counts.lost, open_holes(track));
    track->counts.restarts++;
    track->counts.stale--;
    track->counts.unique += 2;
    start_epoch(track, track->candidate);
    advance(track, 1);
    return SEQ_RESTART;
}

seq_class track(tracker *track, int64_t seq, int length_bytes)
{
    track->counts.received++;
    add_saturating(&track->counts.bytes, static_cast<uint64_t>(length_bytes));
    if (!track->judges) {
        track->counts.unique++;
        track->highest = seq;
        return SEQ_UNJUDGED;
    }
    if (!track->started) {
        track->started = true;
        track->counts.first_seq = seq;
        track->counts.unique++;
        start_epoch(track, seq);
        return SEQ_FIRST;
    }
    if (track->have_candidate) {
        track->have_candidate = false;
        if (step_between(track, track->candidate, seq) == 1)
            return confirm_restart(track);
    }
    int64_t step = step_between(track, track->highest, seq);
    if (step <= 0)
        return track_behind(track, seq, 0u - static_cast<uint64_t>(step));
    uint64_t steps = static_cast<uint64_t>(step);
    add_saturating(&track->counts.missed, steps - 1);
    track->counts.unique++;
    advance(track, steps);
    return steps == 1 ? SEQ_NEXT : SEQ_GAP;
}

track_counts track_snapshot(const tracker *track)
{
    track_counts counts = track->counts;
    counts.last_seq = track->highest;
    if (track->started)
        add_saturating(&counts.lost, open_holes(track));
    return counts;
}

void add_counts(track_counts *total, const track_counts *counts)
{
    add_saturating(&total->received, counts->received);
    add_saturating(&total->bytes, counts->bytes);
    add_saturating(&total->unique, counts->unique);
    add_saturating(&total->duplicates, counts->duplicates);
    add_saturating(&total->missed, counts->missed);
    add_saturating(&total->late, counts->late);
    add_saturating(&total->lost, counts->lost);
    add_saturating(&total->stale, counts->stale);
    add_saturating(&total->restarts, counts->restarts);
}
