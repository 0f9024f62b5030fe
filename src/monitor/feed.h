// A feed: redundant lines (A and B) that carry the same numbers, judged as one. A number is
// lost on the feed only when no line delivered it. A hole is decided when every line has
// passed it, or when the arbitration time has gone by since the first line passed it; a
// number that comes after that is late for the feed. Pure decisions on given numbers and times.
#pragma once

#include <stdint.h>

#include "monitor/tracker.h"

#define FEED_LINES_MAX 8
#define FEED_ARBITRATION_DEFAULT_US 50000
// Numbers not yet decided live in a window of this many; one farther ahead than the window
// reaches decides the oldest at once.
#define FEED_WINDOW 65536
static_assert((FEED_WINDOW & (FEED_WINDOW - 1)) == 0, "FEED_WINDOW is a power of two");
// When the feed's highest number passed a point: a few marks cover the arbitration time.
#define FEED_MARKS 64

// lost = missed - late; every number decided is in numbers or missed.
struct feed_counts {
    uint64_t numbers;               // delivered by some line
    uint64_t missed;                // decided lost: no line had delivered them
    uint64_t late;                  // of those, delivered after all
    uint64_t lost;
    uint64_t first[FEED_LINES_MAX]; // numbers the line delivered before any other
    uint64_t alone[FEED_LINES_MAX]; // numbers no other line delivered by the decision
};

// A run of numbers decided lost, in the field's own numbers.
struct feed_hole {
    int64_t first;
    int64_t last;
};

struct feed_mark {
    uint64_t end;        // every number below this had been passed
    uint64_t opened_us;  // when the mark was made
    uint64_t at_us;      // when its end was last moved on
};

struct feed_state {
    seq_rules rules;
    int line_count;
    uint64_t arbitration_us;
    bool started;
    // Numbers are unwrapped from the field's width into 64 bits, so that order is plain.
    uint64_t settled;                   // every number below is decided
    uint64_t highest_end;               // one past the highest number any line delivered
    uint64_t decide_end;                // found decidable: settled moves on to it
    uint64_t line_end[FEED_LINES_MAX];  // one past the highest each line delivered; 0: none
    feed_mark marks[FEED_MARKS];
    int mark_first;
    int mark_count;
    feed_counts counts;
    unsigned char *who;       // FEED_WINDOW: bit l, line l delivered the number in this place
    uint64_t *lost_bits;      // FEED_WINDOW / 64: the decided number in this place was lost
};

// Readies a feed of line_count lines whose numbers follow rules; its window is allocated here.
// Returns 0, or -1 when memory ran out.
int feed_open(feed_state *feed, const seq_rules *rules, int line_count, uint64_t arbitration_us);
void feed_close(feed_state *feed);

// Line line delivered count numbers from seq on at now_us (monotonic). Returns 0, or 1 when
// they reach past the window while numbers are open: decide everything first (feed_settle
// with at_end, until it returns fewer than holes_max), then deliver them again.
int feed_deliver(feed_state *feed, int line, int64_t seq, uint32_t count, uint64_t now_us);

// Decides what is due at now_us: every line passed it, or the arbitration time has gone by.
// Writes up to holes_max runs of numbers lost to holes and returns how many; call again while
// it returns holes_max. With at_end, everything still open is decided (the run is over).
int feed_settle(feed_state *feed, uint64_t now_us, bool at_end, feed_hole *holes, int holes_max);
