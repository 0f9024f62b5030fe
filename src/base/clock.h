// The clocks: the calendar clock (UTC, and the local time of day for log lines), and a clock
// that only moves forward, for timers and pacing.
#pragma once

#include <stdint.h>

struct time_of_day {
    int hour;        // 0 to 23
    int minute;
    int second;
    int millisecond;
};

// Microseconds since 1970-01-01 00:00:00 UTC, to the microsecond where the system keeps it.
uint64_t clock_utc_us(void);

// The local time of day, to the millisecond: now, or at a given time (an event's).
void clock_time_of_day(time_of_day *now);
void clock_time_of_day_at(uint64_t utc_us, time_of_day *at);

// A clock that only moves forward, for timers and pacing: microseconds from an arbitrary start.
uint64_t clock_monotonic_us(void);

// Sleeps until clock_monotonic_us reaches due_us, or less when a signal arrives first.
void clock_sleep_until_us(uint64_t due_us);
