#include "monitor/join.h"

void join_started(join_watch *watch, uint64_t at_us)
{
    *watch = join_watch{true, false, at_us, 0, watch->rejoins};
}

bool join_heard(join_watch *watch, uint64_t at_us)
{
    if (!watch->timed || watch->heard)
        return false;
    watch->heard = true;
    watch->latency_us = at_us > watch->joined_us ? at_us - watch->joined_us : 0;
    return true;
}

uint64_t rejoin_due_us(const join_watch *watch, uint64_t last_arrival_us, uint64_t silence_us)
{
    uint64_t since_us = last_arrival_us > watch->joined_us ? last_arrival_us : watch->joined_us;
    return since_us + silence_us;
}
