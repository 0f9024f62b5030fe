// A feed: redundant lines (A and B) that carry the same numbers, judged as one. The feed takes
// each line's numbers where that line's tracker placed them (track_place), so restarts,
// sessions, heartbeats and wraps are judged by the lines' own rules. A number is decided the
// arbitration time after the first line passed it: missed when no copy had come by then, and
// late when one came after. Pure decisions on given places and times.
#pragma once

#include <stdint.h>

#include "monitor/histogram.h"
#include "monitor/tracker.h"

#define FEED_LINES_MAX 8
#define FEED_ARBITRATION_DEFAULT_US 50000
// No --max-skew: no copy is beyond the window.
#define FEED_NO_MAX_SKEW UINT64_MAX
// Numbers are held in a window that starts at FEED_WINDOW_FIRST places and doubles as they
// need: those not yet decided, and those decided that a line may still deliver (back to the
// slowest line's highest, less FEED_REORDER_HELD for its own reorders; a line not heard yet
// from the first). Up to FEED_WINDOW_MAX (times sizeof(feed_slot), 24 bytes: 48 MiB a feed, and
// 72 MiB at the most while the last doubling copies the half before). Past that the oldest
// undecided are decided before their time, and a line that delivers a number no longer held is
// said to lag.
#define FEED_WINDOW_FIRST 4096
#define FEED_WINDOW_MAX (1u << 21)
#define FEED_REORDER_HELD 1024
// Once the window is at its bound, a bit a number remembers, FEED_LOST_SPAN numbers back (4 MiB),
// which were decided lost: a copy of one that comes after the window let it go is still late.
#define FEED_LOST_SPAN (1u << 25)
static_assert((FEED_WINDOW_FIRST & (FEED_WINDOW_FIRST - 1)) == 0, "a power of two");
static_assert((FEED_WINDOW_MAX & (FEED_WINDOW_MAX - 1)) == 0, "a power of two");
static_assert((FEED_LOST_SPAN & (FEED_LOST_SPAN - 1)) == 0 && FEED_LOST_SPAN >= FEED_WINDOW_MAX,
              "a power of two, past the window");
// A line's new epoch (its sender restarted, or began a session) opens the feed's next one this
// many places past the present one, so that lines still in the present one have room to end
// it. A line of the present one that reaches the next shows the restart was one line's alone.
#define FEED_EPOCH_GAP 1024
// A line's numberings are the others' in turn (the sender restarted, or began a session): a line
// behind by several still delivers copies of its own. The feed holds this many at once; a line
// that opens one more lets go of the oldest (decided at once where it was still open), and the
// copies a line still delivers of a numbering let go count for nothing, the line said to lag.
#define FEED_NUMBERINGS_MAX 8

// lost = missed - late; every number decided is in numbers or missed.
struct feed_counts {
    uint64_t numbers;               // delivered by some line
    uint64_t missed;                // decided lost: no line had delivered them
    uint64_t late;                  // of those, delivered after all
    uint64_t lost;
    uint64_t first[FEED_LINES_MAX]; // numbers the line delivered before any other, by arrival
    uint64_t alone[FEED_LINES_MAX]; // decided numbers no other line delivered, ever
    // With a max skew: copies that came more than it after the number's first copy (the first
    // copy: after a line passed the number), and the numbers delivered only by such copies.
    uint64_t beyond[FEED_LINES_MAX];
    uint64_t lost_in_window;
};

// How far each line ran behind the first copy of each number that two lines or more delivered
// (0 for the line whose copy was first), and the most since the last period began. With three
// lines or more, a copy read after another line's later copy of its number leaves the third
// line's time measured from the copy first read.
struct feed_behind {
    histogram times[FEED_LINES_MAX];
    uint64_t sum_us[FEED_LINES_MAX];
    uint64_t period_max_us[FEED_LINES_MAX];
    unsigned last_bucket[FEED_LINES_MAX];   // where the line's last time went
};

// A run of numbers decided lost, in the field's own numbers.
struct feed_hole {
    int64_t first;
    int64_t last;
    uint64_t due_us;      // when its first number fell due (on the clock of the arrivals); 0:
                          // decided before its time, to make room or at the end
};

// What a line's datagram gives the feed: where its tracker placed it, and when it came.
struct feed_datagram {
    uint64_t epoch_key;   // the line's sender and its epoch: another key is another numbering
    bool new_epoch;       // the tracker's first datagram of the epoch (first, or a restart)
    bool restarted;       // of those, a restart of the sender the line had (its tracker's)
    uint64_t first;       // track_place
    uint32_t count;
    uint64_t passed_end;
    uint64_t arrival_us;
};

struct feed_slot {
    uint64_t first_us;    // the earliest arrival of the number
    uint64_t passed_us;   // when a line first passed it
    uint8_t who;          // bit l: line l delivered it (kept once decided)
    uint8_t first_line;
    uint8_t lost;         // decided lost, and not delivered since
    uint8_t beyond;       // bit l: line l's copy is counted beyond the max skew
    uint8_t window_lost;  // counted in lost_in_window
};

// A numbering the lines follow. Places are the feed's: a line's place plus its offset.
struct feed_epoch {
    uint64_t start;       // its first place: places before it are not judged
    uint64_t front;       // one past the highest place passed
    uint64_t base;        // the field's number of a place p is (p - base) masked
    uint64_t began_us;    // its earliest arrival: every line passed its places below by then
    unsigned members;     // bit l: line l is in it
};

struct feed_timeline;

struct feed_line {
    bool heard;
    uint64_t last_us;     // the latest arrival taken from it
    bool placed;          // it began a numbering of the feed's
    bool in_epoch;        // it is in a numbering still held (false: let go, or none yet)
    uint32_t epoch;       // its numbering: the feed's first is 0, and each one on is the next
    uint64_t key;
    uint64_t offset;
    uint64_t front;       // one past the highest place it passed in its epoch
};

struct feed_state {
    seq_rules rules;
    int line_count;
    uint64_t arbitration_us;
    uint64_t max_skew_us; // FEED_NO_MAX_SKEW: none
    bool started;
    // The numberings held: oldest to newest, numbering k at k & (FEED_NUMBERINGS_MAX - 1). Those
    // before the present one are decided, and kept for a line that lags in one, or is not
    // heard yet (its first numbering is the oldest held).
    feed_epoch epochs[FEED_NUMBERINGS_MAX];
    static_assert((FEED_NUMBERINGS_MAX & (FEED_NUMBERINGS_MAX - 1)) == 0, "a power of two");
    uint32_t oldest;
    uint32_t present;     // the one being decided
    uint32_t newest;
    feed_line lines[FEED_LINES_MAX];
    uint64_t settled;     // every place below is decided
    uint64_t ring_end;    // one past the highest place held
    uint64_t room_end;    // places below are decided at once, due or not, to make room
    bool closing_present; // a line began a numbering past the bound: the present one is decided
                          // at once
    bool decided_early;
    uint64_t early_from;  // places from this one up to early_end were decided before their time
    uint64_t early_end;
    int lag_line;         // a line that delivered a number decided early, or no longer held;
                          // -1: none yet
    uint32_t window;
    feed_slot *slots;     // window places, each at place & (window - 1)
    uint64_t *lost_bits;  // once the window is at its bound: bit place & (FEED_LOST_SPAN - 1) is
                          // set where the place, below ring_end by at most the span, is lost
    feed_counts counts;
    feed_behind behind;
    feed_timeline *timeline;  // its decisions over the run, where a report draws them; else null
};

// Readies a feed of line_count lines whose numbers follow rules; its window is allocated here.
// A copy more than max_skew_us behind is beyond the window (FEED_NO_MAX_SKEW: none is).
// Returns 0, or -1 when memory ran out.
int feed_open(feed_state *feed, const seq_rules *rules, int line_count, uint64_t arbitration_us,
              uint64_t max_skew_us);
void feed_close(feed_state *feed);

// Line line delivered a datagram. Returns 0, or 1 when it reaches past what the window can
// hold or begins a third numbering while two are open: decide (feed_settle, until it returns
// fewer than holes_max), then deliver it again.
int feed_deliver(feed_state *feed, int line, const feed_datagram *datagram);

// Line line, already heard, will deliver nothing that arrived before at_us (its next copy came
// then): what the other lines fell due for before it may be decided.
void feed_heard_until(feed_state *feed, int line, uint64_t at_us);

// Decides what is due at now_us (on the clock of the arrivals): each number the arbitration
// time after a line first passed it. Writes up to holes_max runs of numbers lost to holes and
// returns how many; call again while it returns holes_max. With at_end, everything still open
// is decided (the run is over).
int feed_settle(feed_state *feed, uint64_t now_us, bool at_end, feed_hole *holes, int holes_max);

// The line's times behind since a period began (when its histogram was from) into period, the
// period's largest with them; and the next period begins.
void feed_behind_period(feed_state *feed, int line, histogram *from, histogram *period);

// Whether something the feed's lines passed may still fall due after now_us: a line was heard
// within the arbitration time and slack_us. Past that everything was decided.
bool feed_may_decide(const feed_state *feed, uint64_t now_us, uint64_t slack_us);
