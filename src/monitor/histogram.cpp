#include "monitor/histogram.h"

#include <string.h>

// 10^(k / 10) rounded up, k = 0 to 80, worked out once: the bounds a percentile can take.
static const uint64_t *bounds(void)
{
    static uint64_t table[HISTOGRAM_BOUNDS];
    if (table[0] == 0) {
        // Each decade's ten steps of 10^0.1, in millionths, rounded up.
        static const uint64_t steps[HISTOGRAM_PER_DECADE] = {
            1000000, 1258926, 1584894, 1995263, 2511887, 3162278, 3981072, 5011873, 6309574,
            7943283};
        uint64_t decade = 1;
        for (unsigned k = 0; k < HISTOGRAM_BOUNDS; k++) {
            if (k > 0 && k % HISTOGRAM_PER_DECADE == 0)
                decade *= 10;
            uint64_t scaled = decade * steps[k % HISTOGRAM_PER_DECADE];
            table[k] = (scaled + 999999) / 1000000;
        }
    }
    return table;
}

uint64_t histogram_bound_us(unsigned bucket)
{
    return bounds()[bucket < HISTOGRAM_BOUNDS ? bucket : HISTOGRAM_BOUNDS - 1];
}

void histogram_clear(histogram *times)
{
    memset(times, 0, sizeof *times);
}

// The first bucket whose bound is at least the time: a binary search of 81 bounds.
static unsigned bucket_of(uint64_t time_us)
{
    const uint64_t *bound = bounds();
    unsigned low = 0, high = HISTOGRAM_BOUNDS;
    while (low < high) {
        unsigned middle = (low + high) / 2;
        if (bound[middle] < time_us)
            low = middle + 1;
        else
            high = middle;
    }
    return low;
}

void histogram_add(histogram *times, uint64_t time_us)
{
    times->counts[bucket_of(time_us)]++;
    times->total++;
    if (time_us > times->max_us)
        times->max_us = time_us;
}

void histogram_add_near(histogram *times, uint64_t time_us, unsigned *bucket)
{
    const uint64_t *bound = bounds();
    unsigned k = *bucket;
    bool inside = k < HISTOGRAM_BOUNDS ? time_us <= bound[k] && (k == 0 || time_us > bound[k - 1])
                                       : time_us > bound[HISTOGRAM_BOUNDS - 1];
    if (!inside)
        k = *bucket = bucket_of(time_us);
    times->counts[k]++;
    times->total++;
    if (time_us > times->max_us)
        times->max_us = time_us;
}

void histogram_remove(histogram *times, uint64_t time_us)
{
    times->counts[bucket_of(time_us)]--;
    times->total--;
}

uint64_t histogram_percentile_us(const histogram *times, unsigned percent)
{
    if (times->total == 0)
        return 0;
    // The rank of the time sought, counted from 1: percent of the total, rounded up.
    uint64_t rank = (times->total * percent + 99) / 100;
    rank = rank == 0 ? 1 : rank;
    uint64_t seen = 0;
    for (unsigned k = 0; k < HISTOGRAM_BUCKETS; k++) {
        seen += times->counts[k];
        if (seen >= rank) {
            uint64_t bound = k < HISTOGRAM_BOUNDS ? bounds()[k] : times->max_us;
            return bound < times->max_us ? bound : times->max_us;
        }
    }
    return times->max_us;
}

uint64_t histogram_count_to(const histogram *times, uint64_t limit_us)
{
    uint64_t count = 0;
    for (unsigned k = 0; k < HISTOGRAM_BOUNDS && bounds()[k] <= limit_us; k++)
        count += times->counts[k];
    return count;
}

void delay_clear(delay_record *record)
{
    histogram_clear(&record->delays);
    record->sum_us = 0;
    record->min_us = UINT64_MAX;
    record->skew_count = 0;
    record->skew_max_us = 0;
}

void delay_add(delay_record *record, uint64_t sent_us, uint64_t arrival_us)
{
    if (sent_us > arrival_us) {
        record->skew_count++;
        if (sent_us - arrival_us > record->skew_max_us)
            record->skew_max_us = sent_us - arrival_us;
        return;
    }
    uint64_t delay_us = arrival_us - sent_us;
    histogram_add(&record->delays, delay_us);
    record->sum_us += delay_us;
    if (delay_us < record->min_us)
        record->min_us = delay_us;
}

delay_figures delay_figures_of(const delay_record *record)
{
    delay_figures figures = {};
    figures.count = record->delays.total;
    if (figures.count > 0) {
        figures.min_us = record->min_us;
        figures.p50_us = histogram_percentile_us(&record->delays, 50);
        figures.p99_us = histogram_percentile_us(&record->delays, 99);
        figures.max_us = record->delays.max_us;
    }
    figures.skew_count = record->skew_count;
    figures.skew_max_us = record->skew_max_us;
    return figures;
}
