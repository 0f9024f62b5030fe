// Times in fixed log-spaced buckets, for percentiles without sorting or allocating: ten buckets
// a decade from 1 us to 100 s, each 1.26 times the one below, so that a percentile read from
// them is never below the exact one and at most 26 % (or 1 us) above it; above 100 s, one
// bucket holds all, read as the largest time.
#pragma once

#include <stdint.h>

#define HISTOGRAM_PER_DECADE 10
#define HISTOGRAM_DECADES 8
// Bucket k holds the times above bound k - 1 up to bound k; the last, those above 100 s.
#define HISTOGRAM_BOUNDS (HISTOGRAM_PER_DECADE * HISTOGRAM_DECADES + 1)
#define HISTOGRAM_BUCKETS (HISTOGRAM_BOUNDS + 1)

struct histogram {
    uint64_t counts[HISTOGRAM_BUCKETS];
    uint64_t total;
    uint64_t max_us;
};

void histogram_clear(histogram *times);

void histogram_add(histogram *times, uint64_t time_us);

// The same, looking first in *bucket (where a time like it went last) and leaving there the
// bucket this one went to: times that stay alike are counted without a search.
void histogram_add_near(histogram *times, uint64_t time_us, unsigned *bucket);

// Takes back a time added: its bucket and the total (the largest stays, so take back only a
// time no larger than another kept).
void histogram_remove(histogram *times, uint64_t time_us);

// The upper bound of bucket k: 10^(k / 10) us, rounded up.
uint64_t histogram_bound_us(unsigned bucket);

// The time below which percent of the times fall (at most the largest time); 0 when empty.
uint64_t histogram_percentile_us(const histogram *times, unsigned percent);

// How many times are at most limit_us, where limit_us is a decade's bound (10 us, 1 ms, ...).
uint64_t histogram_count_to(const histogram *times, uint64_t limit_us);

// One-way delays from the sender's clock to the kernel's time of arrival. A sender's time
// after the arrival means the clocks disagree: it is counted as clock skew, with its size,
// never as a delay of 0.
struct delay_record {
    histogram delays;
    uint64_t sum_us;
    uint64_t min_us;
    uint64_t skew_count;
    uint64_t skew_max_us;     // the most the sender's clock was ahead
};

void delay_clear(delay_record *record);

void delay_add(delay_record *record, uint64_t sent_us, uint64_t arrival_us);

// What a report or a summary says of the delays.
struct delay_figures {
    uint64_t count;           // delays measured (skewed ones apart)
    uint64_t min_us, p50_us, p99_us, max_us;
    uint64_t skew_count, skew_max_us;
};

delay_figures delay_figures_of(const delay_record *record);
