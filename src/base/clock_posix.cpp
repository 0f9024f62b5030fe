#include "base/clock.h"

#include <time.h>

uint64_t clock_utc_us(void)
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

void clock_time_of_day_at(uint64_t utc_us, time_of_day *at)
{
    // localtime_r costs far more than a log line; a busy stream logs thousands of lines within
    // one second, so the broken-down time is kept until the second changes. Only the main
    // thread logs through here.
    static time_t cached_second = -1;
    static tm cached_fields;
    time_t second = static_cast<time_t>(utc_us / 1000000u);
    if (second != cached_second) {
        localtime_r(&second, &cached_fields);
        cached_second = second;
    }
    at->hour = cached_fields.tm_hour;
    at->minute = cached_fields.tm_min;
    at->second = cached_fields.tm_sec;
    at->millisecond = static_cast<int>(utc_us / 1000u % 1000u);
}

void clock_time_of_day(time_of_day *now)
{
    clock_time_of_day_at(clock_utc_us(), now);
}

uint64_t clock_monotonic_us(void)
{
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
