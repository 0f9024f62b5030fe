// The run's timers: statistics periods, --duration, stalls, the metrics' second, the view's
// tick and the feeds' decisions. Each is told the time it fell due, and speaks of that moment.
#pragma once

#include "app/loop.h"

#define METRICS_PERIOD_US 1000000
// A page older than this is not served (503): the run that should have published it since
// is held up, so its figures are not the present's.
#define METRICS_STALE_US (10 * METRICS_PERIOD_US)

// Adds the run's timers to its set, none armed.
void add_run_timers(run_state *state);

// Arms the timers the options ask for, from the start.
void arm_timers(run_state *state);

// Arms the query watches' timer for the earliest that may fall due; disarms it where none may
// until a query comes.
void arm_query_timer(run_state *state);

// Arms the feeds' timer from at_us where it is not armed: a line delivered numbers that are
// decided as the arbitration time runs out, datagrams or none.
void arm_feed_timer(run_state *state, uint64_t at_us);
