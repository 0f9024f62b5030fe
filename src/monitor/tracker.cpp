#include "monitor/tracker.h"

#include <string.h>

const char *seq_class_name(seq_class kind)
{
    static const char *const names[] = {"first", "next",  "gap",    "late",
                                        "duplicate", "stale", "restart"};
    return names[kind];
}

// The step from the highest number to seq, in the field's own width.
static int64_t step_from_highest(const tracker *track, int64_t seq)
{
    if (track->short_seq)
        return static_cast<int32_t>(static_cast<uint32_t>(seq) -
                                    static_cast<uint32_t>(track->highest));
    return static_cast<int64_t>(static_cast<uint64_t>(seq) -
                                static_cast<uint64_t>(track->highest));
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
        track->counts.lost += open_holes(track) + (steps - TRACK_WINDOW);
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

void track_start(tracker *track, bool short_seq)
{
    memset(&track->counts, 0, sizeof track->counts);
    track->started = false;
    track->short_seq = short_seq;
}

// A number at or below the highest.
static seq_class track_behind(tracker *track, int64_t seq, uint64_t back)
{
    if (back > TRACK_WINDOW) {
        track->counts.lost += open_holes(track);
        track->counts.restarts++;
        track->counts.unique++;
        start_epoch(track, seq);
        return SEQ_RESTART;
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

seq_class track(tracker *track, int64_t seq, int length_bytes)
{
    track->counts.received++;
    track->counts.bytes += static_cast<uint64_t>(length_bytes);
    if (!track->started) {
        track->started = true;
        track->counts.first_seq = seq;
        track->counts.unique++;
        start_epoch(track, seq);
        return SEQ_FIRST;
    }
    int64_t step = step_from_highest(track, seq);
    if (step <= 0)
        return track_behind(track, seq, 0u - static_cast<uint64_t>(step));
    uint64_t steps = static_cast<uint64_t>(step);
    track->counts.missed += steps - 1;
    track->counts.unique++;
    advance(track, steps);
    return steps == 1 ? SEQ_NEXT : SEQ_GAP;
}

track_counts track_snapshot(const tracker *track)
{
    track_counts counts = track->counts;
    counts.last_seq = track->highest;
    if (track->started)
        counts.lost += open_holes(track);
    return counts;
}

void add_counts(track_counts *total, const track_counts *counts)
{
    total->received += counts->received;
    total->bytes += counts->bytes;
    total->unique += counts->unique;
    total->duplicates += counts->duplicates;
    total->missed += counts->missed;
    total->late += counts->late;
    total->lost += counts->lost;
    total->stale += counts->stale;
    total->restarts += counts->restarts;
}
