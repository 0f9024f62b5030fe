#include "timer/clock.h"

#include <windows.h>

static uint64_t filetime_ticks(const SYSTEMTIME *when)
{
    FILETIME file_time;
    SystemTimeToFileTime(when, &file_time);
    return (static_cast<uint64_t>(file_time.dwHighDateTime) << 32) | file_time.dwLowDateTime;
}

uint64_t clock_now_us(void)
{
    SYSTEMTIME now;
    GetSystemTime(&now);
    SYSTEMTIME epoch = {};
    epoch.wYear = 1970;
    epoch.wMonth = 1;
    epoch.wDay = 1;
    // FILETIME counts 100-nanosecond ticks since 1601.
    return (filetime_ticks(&now) - filetime_ticks(&epoch)) / 10u;
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
