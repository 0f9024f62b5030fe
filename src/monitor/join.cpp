#include "monitor/join.h"

void join_started(join_watch *watch, uint64_t at_us)
{
    *watch = join_watch{true, false, at_us, 0};
}

bool join_heard(join_watch *watch, uint64_t at_us)
{
    if (!watch->timed || watch->heard)
        return false;
    watch->heard = true;
    watch->latency_us = at_us > watch->joined_us ? at_us - watch->joined_us : 0;
    return true;
}
