#include "timer/timer.h"

void timer_add(timer_set *set, timer *added, void (*fire)(void *context, uint64_t due_us),
               void *context)
{
    added->armed = false;
    added->due_us = 0;
    added->fire = fire;
    added->context = context;
    added->coarse = false;
    set->timers[set->count++] = added;
}

void timer_arm(timer *armed, uint64_t due_us)
{
    armed->due_us = due_us;
    armed->armed = true;
}

// The armed timer due first, the first added among equals; null when none is armed.
static timer *earliest(const timer_set *set)
{
    timer *found = nullptr;
    for (int i = 0; i < set->count; i++) {
        timer *candidate = set->timers[i];
        if (candidate->armed && (found == nullptr || candidate->due_us < found->due_us))
            found = candidate;
    }
    return found;
}

void timers_fire_due(timer_set *set, uint64_t now_us)
{
    for (timer *due = earliest(set); due != nullptr && due->due_us <= now_us;
         due = earliest(set)) {
        due->armed = false;
        due->fire(due->context, due->due_us);
    }
}

bool timers_armed(const timer_set *set)
{
    return earliest(set) != nullptr;
}

bool timers_fine_armed(const timer_set *set)
{
    for (int i = 0; i < set->count; i++)
        if (set->timers[i]->armed && !set->timers[i]->coarse)
            return true;
    return false;
}

int64_t timers_wait_limit_us(const timer_set *set, uint64_t now_us)
{
    const timer *next = earliest(set);
    if (next == nullptr)
        return -1;
    if (now_us >= next->due_us)
        return 0;
    return static_cast<int64_t>(next->due_us - now_us);
}

uint64_t elapsed_us(uint64_t now_us, uint64_t then_us)
{
    return now_us > then_us ? now_us - then_us : 0;
}
