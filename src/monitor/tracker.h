// Exact accounting of one sender's sequence numbers: each datagram is classed against the
// highest number seen and a window of the TRACK_WINDOW numbers up to it, and counted. Order is
// judged by the wrapping difference in the field's own width (64 bits, or 32 with -f); there
// is no sentinel number.
#pragma once

#include <stdint.h>

#define TRACK_WINDOW 65536

enum seq_class {
    SEQ_FIRST,      // the sender's first datagram
    SEQ_NEXT,       // highest + 1
    SEQ_GAP,        // above highest + 1: the numbers skipped are holes, counted as missed
    SEQ_LATE,       // below the highest, and a hole in the window: it fills the hole
    SEQ_DUPLICATE,  // below or at the highest, and received already
    SEQ_STALE,      // exactly the window's size below the highest, before the sender's first
                    // number, or a lone datagram farther below: too old to judge
    SEQ_RESTART,    // the number after one more than the window's size below the highest: two
                    // in a row agree that the sender started again, and its open holes are lost
    SEQ_UNJUDGED,   // a sender past the table's room: counted, its order not judged
};

// The class's name, as the summary and the machine-readable outputs write it.
const char *seq_class_name(seq_class kind);

// Never wrapping: a count that would pass 2^64 - 1 stays there. At any moment received =
// unique + duplicates + stale; in a snapshot (track_snapshot) also lost = missed - late.
struct track_counts {
    uint64_t received;
    uint64_t bytes;
    uint64_t unique;
    uint64_t duplicates;
    uint64_t missed;      // numbers ever skipped
    uint64_t late;        // holes filled
    uint64_t lost;        // holes that left the window unfilled, or were open at a restart
    uint64_t stale;
    uint64_t restarts;
    int64_t first_seq;    // the sender's first number
    int64_t last_seq;     // the highest number of the present epoch
};

struct tracker {
    bool started;
    bool short_seq;          // judged in 32 bits
    bool judges;             // false: counts datagrams and bytes only (senders past the table)
    bool have_candidate;     // a lone datagram far below the highest came last: a restart's
    int64_t candidate;       // first number, if the next one follows it
    int64_t highest;
    uint64_t span;           // numbers from the epoch's first to the highest (saturating)
    track_counts counts;
    uint64_t window[TRACK_WINDOW / 64];  // bit n % TRACK_WINDOW: number n is no hole
};

// Readies a tracker for a sender's first datagram; one that does not judge only counts.
void track_start(tracker *track, bool short_seq, bool judges);

// Classes one datagram and counts it.
seq_class track(tracker *track, int64_t seq, int length_bytes);

// The counts as if the stream ended now: holes still open count as lost.
track_counts track_snapshot(const tracker *track);

// Adds one sender's counts to a total (first_seq and last_seq are left as they are).
void add_counts(track_counts *total, const track_counts *counts);
