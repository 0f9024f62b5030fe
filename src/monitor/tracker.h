// Exact accounting of one sender's sequence numbers: each datagram is classed against the
// highest number seen and a window of the TRACK_WINDOW numbers up to it, and counted. Order is
// judged by the wrapping difference in the field's own width; there is no sentinel number. A
// datagram may carry several consecutive numbers (a count field), and then the counts are of
// numbers.
#pragma once

#include <stdint.h>

#include "base/layout.h"

#define TRACK_WINDOW 65536
// A number's place in the window is its low bits.
static_assert((TRACK_WINDOW & (TRACK_WINDOW - 1)) == 0, "TRACK_WINDOW is a power of two");

// RFC 3550, appendix A.1: a 16-bit field wraps too often for the window, so a jump ahead of up
// to RTP_DROPOUT_MAX numbers is a gap, a step back of up to RTP_MISORDER_MAX is late or a
// duplicate, and anything else is a restart once the next datagram agrees.
#define RTP_DROPOUT_MAX 3000
#define RTP_MISORDER_MAX 100

// How a field's numbers are judged.
struct seq_rules {
    uint64_t mask;        // the field's largest value: numbers wrap to 0 after it
    uint64_t ahead_max;   // a step forward of 1 to this is the next number or a gap
    uint64_t back_max;    // a step back of 0 to this is judged in the window
    bool signed_32;       // -f: numbers are kept as the signed 32-bit numbers read
    bool unnumbered;      // the datagrams carry no number: counted, never judged
};

// The rules for a layout: 16-bit fields RFC 3550's, wider ones the window's.
seq_rules rules_for_layout(const seq_layout *layout);

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
    SEQ_HEARTBEAT,  // a count of 0 that reveals nothing: it carries no number
    SEQ_SHORT,      // too short for the layout's fields: counted, never judged
};

// The class's name, as the summary and the machine-readable outputs write it.
const char *seq_class_name(seq_class kind);

// Never wrapping: a count that would pass 2^64 - 1 stays there. At any moment received =
// unique + duplicates + stale + short; in a snapshot (track_snapshot) also lost = missed -
// late. Where datagrams carry a count, received, unique, duplicates, stale, missed, late and
// lost count numbers; datagrams always counts datagrams, and short those too short to read.
struct track_counts {
    uint64_t received;
    uint64_t datagrams;
    uint64_t short_datagrams;
    uint64_t bytes;
    uint64_t unique;
    uint64_t duplicates;
    uint64_t missed;      // numbers ever skipped
    uint64_t late;        // holes filled
    uint64_t lost;        // holes that left the window unfilled, or were open at a restart
    uint64_t stale;
    uint64_t restarts;
    uint64_t outage_us;         // summed over the gaps, where arrivals are stamped
    uint64_t longest_outage_us;
    int64_t first_seq;    // the sender's first number
    int64_t last_seq;     // the highest number of the present epoch
};

// Where a datagram's numbers stand in its sender's numbering, as the tracker judged them: the
// epoch (a new one at the first datagram and at each restart) and 64-bit places that go on
// counting past the field's wrap (a place modulo the field's range is the field's number).
// placed is false for a datagram the tracker did not place (a stray far off, or unjudged).
struct track_place {
    bool placed;
    uint32_t epoch;
    uint64_t first;       // the place of the first number carried
    uint32_t count;       // numbers carried from there (a restart's first datagram included)
    uint64_t passed_end;  // one past the highest place of the epoch after it: all below passed
};

struct tracker {
    bool started;
    seq_rules rules;
    bool judges;             // false: counts datagrams and bytes only (senders past the table)
    bool have_candidate;     // a lone datagram far from the highest came last: a restart's
    int64_t candidate;       // first number, if the next datagram follows its numbers
    uint32_t candidate_count;
    int64_t highest;
    uint64_t span;           // numbers from the epoch's first to the highest, both counted
                             // (0 before any, after a heartbeat); saturating
    uint64_t top;            // the highest number's place (track_place)
    uint32_t epoch;
    track_counts counts;
    uint64_t window[TRACK_WINDOW / 64];  // bit n % TRACK_WINDOW: number n is no hole
};

// Readies a tracker for a sender's first datagram; one that does not judge only counts.
void track_start(tracker *track, const seq_rules *rules, bool judges);

// Classes one datagram carrying count numbers from seq on (1 without a count field; 0 for a
// heartbeat, whose seq is the next number expected) and counts it. Where place is given, it is
// told where the datagram's numbers stand.
seq_class track(tracker *track, int64_t seq, uint32_t count, int length_bytes, track_place *place);

// Counts a datagram too short for the layout's fields.
void track_short(tracker *track, int length_bytes);

// Adds the outage of a gap: the time from the sender's last datagram before the hole to the
// one that showed it.
void track_outage(tracker *track, uint64_t outage_us);

// Adds amount to a count that never wraps: past 2^64 - 1 it stays there.
void add_saturating(uint64_t *count, uint64_t amount);

// The counts as if the stream ended now: holes still open count as lost.
track_counts track_snapshot(const tracker *track);

// Adds one sender's counts to a total (first_seq and last_seq are left as they are; the
// longest outage is the longer of the two).
void add_counts(track_counts *total, const track_counts *counts);
