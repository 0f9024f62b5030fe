// Test aid, loaded with LD_PRELOAD: the calendar clock that the program reads jumps by
// STEP_CLOCK_SECONDS (negative: back) once STEP_CLOCK_AFTER_MS have passed since its first
// reading, as when an administrator or a time daemon sets the clock. Only this process sees
// the jump; the machine's clock is never touched.
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>

typedef int (*clock_gettime_function)(clockid_t, timespec *);

extern "C" int clock_gettime(clockid_t id, timespec *now)
{
    static clock_gettime_function real =
        reinterpret_cast<clock_gettime_function>(dlsym(RTLD_NEXT, "clock_gettime"));
    static long long started_ms = -1;
    int status = real(id, now);
    if (status != 0 || id != CLOCK_REALTIME)
        return status;
    timespec monotonic;
    real(CLOCK_MONOTONIC, &monotonic);
    long long now_ms = monotonic.tv_sec * 1000LL + monotonic.tv_nsec / 1000000;
    if (started_ms < 0)
        started_ms = now_ms;
    const char *after = getenv("STEP_CLOCK_AFTER_MS");
    const char *step = getenv("STEP_CLOCK_SECONDS");
    if (after != nullptr && step != nullptr && now_ms - started_ms >= atoll(after))
        now->tv_sec += atoll(step);
    return status;
}
