// Sequence monitoring, as pure decisions: the sequence number a datagram carries, the check
// that numbers advance by exactly one, and the periodic count of datagrams and missed numbers.
// Nothing here prints; the run hands what it decides to an output sink.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "base/layout.h"
#include "monitor/histogram.h"
#include "monitor/tracker.h"

// Marks "no previous sequence number" (all bits set).
#define NO_SEQUENCE (-1)

struct stats_record {
    uint32_t period_us;   // 0: no statistics
    uint64_t due_us;      // when the next report falls due, as clock_monotonic_us
    uint32_t packets;     // datagrams since the last report; wraps
    uint32_t gaps;        // missed sequence numbers since the last report; wraps
    uint64_t gap_numbers; // the same in full, for the outputs that carry 64 bits
    uint64_t bytes;       // payload bytes since the last report
    histogram interarrival; // the times between datagrams, where arrivals are stamped
    delay_record delays;    // from the sender's clock, with --sent-at
};

// What one report says; the run adds what this host dropped in the period, where counted, and
// where arrivals are stamped the period's rate and how evenly its datagrams came.
struct stats_report {
    uint32_t packets;
    uint32_t gaps;
    uint64_t gap_numbers;
    bool host_drops_counted;
    uint64_t host_drops;
    bool have_rate;
    uint64_t datagrams_per_s;
    uint64_t bits_per_s;        // of UDP payload
    uint64_t interarrival_count;  // times between datagrams in the period: 0, none to show
    uint64_t interarrival_p50_us;
    uint64_t interarrival_p99_us;
    uint64_t interarrival_max_us;
    bool have_delays;           // --sent-at
    delay_figures delays;
};

// The sequence number in a datagram of length bytes: with short_seq a signed 32-bit number at
// bytes 0 to 3, otherwise a signed 64-bit number at bytes 4 to 11, both little-endian. Bytes
// the datagram does not have read as zero.
int64_t read_sequence(const unsigned char *datagram, size_t length, bool short_seq);

// What a datagram says in a layout: its number and how many numbers it carries (1 without a
// count field, 0 for a heartbeat or MoldUDP64's end of session). A datagram too short for a
// given layout's fields says nothing; in the classic one its missing bytes read as zero.
struct seq_reading {
    int64_t seq;
    uint32_t count;          // numbers it carries (0 for MoldUDP64's end of session)
    bool too_short;
    bool end_of_session;     // MoldUDP64's count 65535: it carries no number
};

seq_reading read_layout(const seq_layout *layout, const unsigned char *datagram, size_t length);

enum gap_kind { GAP_NONE, GAP_MISSED_ONE, GAP_MISSED_RUN, GAP_EXTRA };

struct gap_report {
    gap_kind kind;
    int64_t first;        // missed: the first number missed; extra: the extra number
    int64_t last;         // missed run: the last number missed
    uint32_t missed;      // what is added to the gaps counter
    uint64_t numbers;     // how many numbers a missed gap skipped, in full (0 for an extra
                          // datagram); a run across the whole 64-bit range counts 2^64 - 1
};

// Compares a sequence number with the previous one (NO_SEQUENCE: none to compare with).
gap_report find_gap(int64_t seq, int64_t last_seq);

// The same, where whether there is a previous number is said apart, so that -1 is a number
// like any other.
gap_report find_gap_after(int64_t seq, bool have_last, int64_t last_seq);

// The check for a given layout: a datagram carrying count numbers from seq on, against the
// number the previous one made next (expected). Order is the wrapping difference in the
// field's width, ahead up to half its range; a heartbeat behind is no extra datagram.
gap_report find_layout_gap(const seq_rules *rules, int64_t seq, uint32_t count, bool have_last,
                           int64_t expected);

// The number expected after a datagram carrying count numbers from seq on.
int64_t next_expected(const seq_rules *rules, int64_t seq, uint32_t count);

// Starts counting at now_us: the first report is due one period later.
void stats_start(stats_record *stats, uint64_t now_us);

// Ends the period that fell due: returns its counts, zeroes them, and sets the next due time
// one period after the previous one, so that reports keep to a grid measured from the start.
stats_report stats_take(stats_record *stats);
