// A feed's decisions over the run, in a timeline's intervals on the clock of its arrivals:
// numbers missed when they fell due, copies that filled a hole late when they came, and each
// line's numbers that no other line delivered, at the time of that line's copy. Counting is an
// add into the interval the time falls in; memory is fixed, as a stream's timeline's.
#pragma once

#include <stdint.h>

#include "monitor/feed.h"
#include "monitor/timeline.h"

struct feed_timeline {
    timeline decided;     // missed and late; its datagrams and outages stay unused
    uint32_t alone[TIMELINE_INTERVALS][FEED_LINES_MAX];
};

// Empties the timeline of a run whose arrivals' clock read origin_us at its start.
void feed_timeline_start(feed_timeline *line, uint64_t origin_us, uint64_t interval_us);

void feed_timeline_missed(feed_timeline *line, uint64_t at_us, uint64_t count);
void feed_timeline_late(feed_timeline *line, uint64_t at_us);

// A number only line delivered, its copy at at_us; taken back (gained false) when another line
// delivered it after all: the same time puts it back in the same interval.
void feed_timeline_alone(feed_timeline *line, int line_index, uint64_t at_us, bool gained);
