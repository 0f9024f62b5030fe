// A stream's counts over the whole run in a fixed number of intervals: when the last is full,
// neighbours merge in pairs and the interval doubles, so a run of any length keeps the same
// memory and counting a datagram is an add into the interval it falls in.
#pragma once

#include <stdint.h>

#define TIMELINE_INTERVALS 1024
// Merging in pairs halves the intervals in use: the count must stay even at every size.
static_assert((TIMELINE_INTERVALS & (TIMELINE_INTERVALS - 1)) == 0,
              "TIMELINE_INTERVALS is a power of two");
// The outages kept as spans of time; past this, the two nearest merge into one.
#define TIMELINE_OUTAGES 64
static_assert(TIMELINE_OUTAGES >= 2, "a full list merges two spans into one");

// What fell into one interval: datagrams received, numbers found skipped (at the datagram that
// showed the hole), numbers that came late (filling a hole), datagrams this host dropped.
struct timeline_interval {
    uint64_t datagrams;
    uint64_t missed;
    uint32_t late;          // saturating, as host_drops
    uint32_t host_drops;
};

struct outage_span {
    uint64_t from_utc_us;
    uint64_t to_utc_us;
};

struct timeline {
    uint64_t origin_utc_us;  // the start of interval 0
    uint64_t interval_us;
    int used;                // intervals up to the latest counted into, 0 before any
    uint64_t current_end_us; // of interval used - 1: a datagram before it needs no division
    timeline_interval intervals[TIMELINE_INTERVALS];
    int outage_count;
    outage_span outages[TIMELINE_OUTAGES];
};

// Empties the timeline for a run that started at origin_utc_us, counting in intervals of
// interval_us (more than 0) until they are full.
void timeline_start(timeline *line, uint64_t origin_utc_us, uint64_t interval_us);

// Counts a datagram that came at at_utc_us, with the numbers it showed missed and filled late.
// A time before the origin counts in the first interval.
void timeline_count(timeline *line, uint64_t at_utc_us, uint64_t missed, uint64_t late);

// The interval a time falls in (the first for a time before the origin), merging neighbours
// until it fits: for counts of an owner that keeps intervals of its own beside these.
timeline_interval *timeline_at(timeline *line, uint64_t at_utc_us);

// Counts datagrams this host dropped, found at at_utc_us.
void timeline_drops(timeline *line, uint64_t at_utc_us, uint64_t count);

// Notes an outage from one datagram to the next of its sender.
void timeline_outage(timeline *line, uint64_t from_utc_us, uint64_t to_utc_us);

// The sum of every interval.
timeline_interval timeline_total(const timeline *line);
