#include "monitor/monitor.h"

#include <stdio.h>

#include "log/format.h"
#include "log/log.h"
#include "timer/clock.h"
#include "timer/timer.h"

int stats_start(stats_record *stats)
{
    stats->timer_id = next_timer_id++;
    stats->due_us = clock_monotonic_us() + stats->period_us;
    return timer_set(stats->timer_id, stats->due_us, stats_tick, stats);
}

void stats_tick(void *context)
{
    stats_record *stats = static_cast<stats_record *>(context);
    char line[LOG_PREFIX_MAX + 64];
    char *end = log_begin(line, "info");
    end = put_text(end, "Stats: packets - ");
    end = put_unsigned(end, stats->packets);
    end = put_text(end, "; gaps - ");
    end = put_unsigned(end, stats->gaps);
    log_end(stdout, line, end);
    stats->due_us += stats->period_us;
    stats->packets = 0;
    stats->gaps = 0;
    timer_set(stats->timer_id, stats->due_us, stats_tick, stats);
}
