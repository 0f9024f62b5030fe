#include "monitor/monitor.h"

void stats_start(stats_record *stats, uint64_t now_us)
{
    stats->due_us = now_us + stats->period_us;
    stats->packets = 0;
    stats->gaps = 0;
    stats->gap_numbers = 0;
}

stats_report stats_take(stats_record *stats)
{
    stats_report report = {stats->packets, stats->gaps, stats->gap_numbers, false, 0};
    stats->packets = 0;
    stats->gaps = 0;
    stats->gap_numbers = 0;
    stats->due_us += stats->period_us;
    return report;
}
