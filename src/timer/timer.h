// Timers owned by the parts of the run that use them: each is a plain record, armed for a due
// time on the monotonic clock (setting the calendar clock moves no timer). The run keeps its
// timers in a set that bounds its wait and fires those that fall due. Nothing is allocated.
#pragma once

#include <stdint.h>

struct timer {
    uint64_t due_us;         // microseconds, as clock_monotonic_us
    bool armed;
    // Told the time it fell due: a timer fired late (after a busy batch, or between two
    // datagrams of a capture) speaks of that moment, not of when it was looked at.
    void (*fire)(void *context, uint64_t due_us);
    void *context;           // not owned
    bool coarse;             // may fire a batch of datagrams late: not looked at between them
};

#define TIMERS_MAX 12


// The timers of one run, in the order they were added.
struct timer_set {
    timer *timers[TIMERS_MAX];
    int count;
};

// Adds a timer, not armed, to the set; there is room for TIMERS_MAX.
void timer_add(timer_set *set, timer *added, void (*fire)(void *context, uint64_t due_us),
               void *context);

// Arms the timer for due_us, replacing the due time it had.
void timer_arm(timer *armed, uint64_t due_us);

// Fires every timer due at or before now_us, the earliest first, and among timers due at the
// same time the one added first. A timer is disarmed before it fires, so it may arm itself
// again; if that is due by now_us too, it fires again within this call.
void timers_fire_due(timer_set *set, uint64_t now_us);

// The time from then_us to now_us; a clock that stepped back (a migrated virtual machine's)
// counts as no time passed, never as the most there is.
uint64_t elapsed_us(uint64_t now_us, uint64_t then_us);

// Whether any timer of the set is armed: where none is, nothing needs the clock read.
bool timers_armed(const timer_set *set);

// Whether a timer that is not coarse is armed: only such a timer needs the clock read between
// one datagram of a batch and the next.
bool timers_fine_armed(const timer_set *set);

// How long a wait may last at now_us before the earliest timer falls due: 0 when it is due
// already, -1 (no limit) when no timer is armed.
int64_t timers_wait_limit_us(const timer_set *set, uint64_t now_us);
