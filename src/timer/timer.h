// One-shot timers in one process-wide list ordered by due time. The run bounds its wait by the
// earliest due time and fires the due timers after every wait; a periodic job re-arms itself.
#pragma once

#include <stdint.h>

typedef void (*timer_callback)(void *context);

// Ids for owners of a timer, handed out by post-increment; the first is 1. Read and written by
// the main thread only.
extern uint16_t next_timer_id;

// Arms the timer with this id for due_us (microseconds, as clock_monotonic_us: setting the
// calendar clock moves no timer), replacing any timer with the same id. Among timers due at
// the same time, the one set first fires first. The context is not owned. Returns 0, or -1 after an error line when no memory was left.
int timer_set(uint16_t id, uint64_t due_us, timer_callback callback, void *context);

// Fires, in order, every timer due at or before now_us. A callback may arm its own id again;
// if that is due by now_us too, it fires again within this call.
void timers_fire_due(uint64_t now_us);

// Fires every timer due by the current time; returns the time it read, or 0 when no timer was
// armed (the clock is not read then, which keeps the per-datagram path cheap).
uint64_t timers_run_due(void);

// How long a wait may last at now_us before the earliest timer falls due: 0 when it is due
// already, -1 (no limit) when no timer is armed.
int64_t timers_wait_limit_us(uint64_t now_us);

// Drops every armed timer (for tests, which share the one list).
void timers_clear(void);
