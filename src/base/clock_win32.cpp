#include "base/clock.h"

#include <windows.h>

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
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    // FILETIME counts 100-nanosecond ticks since 1601; 1970 is 11644473600 seconds later.
    return ticks / 10u - 11644473600000000u;
}

void clock_time_of_day(time_of_day *now)
{
    SYSTEMTIME local;
    if (replaying) {
        uint64_t ticks = (replayed_us + 11644473600000000u) * 10u;
        FILETIME at = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
        SYSTEMTIME utc;
        FileTimeToSystemTime(&at, &utc);
        SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local);
    } else {
        GetLocalTime(&local);
    }
    now->hour = local.wHour;
    now->minute = local.wMinute;
    now->second = local.wSecond;
    now->millisecond = local.wMilliseconds;
}

uint64_t clock_monotonic_us(void)
{
    if (replaying)
        return replayed_us;
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
