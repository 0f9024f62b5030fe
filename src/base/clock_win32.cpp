#include "base/clock.h"

#include <windows.h>

uint64_t clock_utc_us(void)
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    // FILETIME counts 100-nanosecond ticks since 1601; 1970 is 11644473600 seconds later.
    return ticks / 10u - 11644473600000000u;
}

void clock_time_of_day_at(uint64_t utc_us, time_of_day *at)
{
    // The conversion to local time is kept until the second changes, as a busy stream logs
    // thousands of lines within one. Only the main thread logs through here.
    static uint64_t cached_second = UINT64_MAX;
    static SYSTEMTIME local;
    uint64_t second = utc_us / 1000000u;
    if (second != cached_second) {
        uint64_t ticks = (second * 1000000u + 11644473600000000u) * 10u;
        FILETIME when = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
        SYSTEMTIME utc;
        FileTimeToSystemTime(&when, &utc);
        SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local);
        cached_second = second;
    }
    at->hour = local.wHour;
    at->minute = local.wMinute;
    at->second = local.wSecond;
    at->millisecond = static_cast<int>(utc_us / 1000u % 1000u);
}

void clock_time_of_day(time_of_day *now)
{
    clock_time_of_day_at(clock_utc_us(), now);
}

uint64_t clock_monotonic_us(void)
{
    LARGE_INTEGER ticks;
    LARGE_INTEGER per_second;
    QueryPerformanceCounter(&ticks);
    QueryPerformanceFrequency(&per_second);
    uint64_t count = static_cast<uint64_t>(ticks.QuadPart);
    uint64_t frequency = static_cast<uint64_t>(per_second.QuadPart);
    return count / frequency * 1000000u + count % frequency * 1000000u / frequency;
}

void clock_sleep_until_us(uint64_t due_us)
{
    // Sleep is not cut short by a console interrupt, so long waits go in short steps.
    uint64_t now_us = clock_monotonic_us();
    if (due_us <= now_us)
        return;
    uint64_t wait_ms = (due_us - now_us) / 1000u;
    Sleep(static_cast<DWORD>(wait_ms > 100 ? 100 : wait_ms));
}
