#include "base/clock.h"

#include <time.h>

// Set by clock_replay, read by every clock.
static bool replaying = false;
static uint64_t replayed_us = 0;

void clock_replay(uint64_t utc_us)
{
    replaying = true;
    replayed_us = utc_us;
}

uint64_t clock_utc_us(void)
{
    if (replaying)
        return replayed_us;
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

void clock_time_of_day(time_of_day *now)
{
    // localtime_r costs far more than a log line; a busy stream logs thousands of lines within
    // one second, so the broken-down time is kept until the second changes. Only the main
    // thread logs through here.
    static time_t cached_second = -1;
    static tm cached_fields;
    timespec real;
    if (replaying)
        real = {static_cast<time_t>(replayed_us / 1000000u), static_cast<long>(replayed_us % 1000000u) * 1000};
    else
        clock_gettime(CLOCK_REALTIME, &real);
    if (real.tv_sec != cached_second) {
        localtime_r(&real.tv_sec, &cached_fields);
        cached_second = real.tv_sec;
    }
    now->hour = cached_fields.tm_hour;
    now->minute = cached_fields.tm_min;
    now->second = cached_fields.tm_sec;
    now->millisecond = static_cast<int>(real.tv_nsec / 1000000);
}

uint64_t clock_monotonic_us(void)
{
    if (replaying)
        return replayed_us;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

void clock_sleep_until_us(uint64_t due_us)
{
    timespec due;
    due.tv_sec = static_cast<time_t>(due_us / 1000000u);
    due.tv_nsec = static_cast<long>(due_us % 1000000u) * 1000;
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
}
