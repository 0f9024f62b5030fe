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

void clock_time_of_day(time_of_day *now)
{
    SYSTEMTIME local;
    GetLocalTime(&local);
    now->hour = local.wHour;
    now->minute = local.wMinute;
    now->second = local.wSecond;
    now->millisecond = local.wMilliseconds;
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
