#include "monitor/monitor.h"

void stats_start(stats_record *stats, uint64_t now_us)
{
    stats->due_us = now_us + stats->period_us;
    stats->packets = 0;
    stats->gaps = 0;
    stats->gap_numbers = 0;
    stats->bytes = 0;
    histogram_clear(&stats->interarrival);
    delay_clear(&stats->delays);
}

stats_report stats_take(stats_record *stats)
{
    stats_report report = {};
    report.packets = stats->packets;
    report.gaps = stats->gaps;
    report.gap_numbers = stats->gap_numbers;
    // Over the period as it was meant to be: a report that falls due late covers no longer.
    uint64_t period_us = stats->period_us != 0 ? stats->period_us : 1;
    report.datagrams_per_s = uint64_t(stats->packets) * 1000000u / period_us;
    report.bits_per_s = stats->bytes * 8 * 1000000u / period_us;
    report.interarrival_count = stats->interarrival.total;
    report.interarrival_p50_us = histogram_percentile_us(&stats->interarrival, 50);
    report.interarrival_p99_us = histogram_percentile_us(&stats->interarrival, 99);
    report.interarrival_max_us = stats->interarrival.max_us;
    report.delays = delay_figures_of(&stats->delays);
    stats->packets = 0;
    stats->gaps = 0;
    stats->gap_numbers = 0;
    stats->bytes = 0;
    histogram_clear(&stats->interarrival);
    delay_clear(&stats->delays);
    stats->due_us += stats->period_us;
    return report;
}
