#include "timer/timer.h"

#include <stdlib.h>

#include "log/log.h"
#include "timer/clock.h"

struct timer_node {
    timer_node *next;
    uint16_t id;
    uint64_t due_us;
    timer_callback callback;
    void *context;
};

uint16_t next_timer_id = 1;

// The armed timers in ascending due time; owned here, used by the main thread only.
static timer_node *timer_list = nullptr;

static void timer_remove(uint16_t id)
{
    for (timer_node **link = &timer_list; *link != nullptr; link = &(*link)->next) {
        if ((*link)->id == id) {
            timer_node *node = *link;
            *link = node->next;
            free(node);
            return;
        }
    }
}

int timer_set(uint16_t id, uint64_t due_us, timer_callback callback, void *context)
{
    timer_remove(id);
    timer_node *node = static_cast<timer_node *>(malloc(sizeof *node));
    if (node == nullptr) {
        log_line(stderr, "error", "out of memory");
        return -1;
    }
    node->id = id;
    node->due_us = due_us;
    node->callback = callback;
    node->context = context;
    timer_node **link = &timer_list;
    while (*link != nullptr && (*link)->due_us <= due_us)
        link = &(*link)->next;
    node->next = *link;
    *link = node;
    return 0;
}

void timers_fire_due(uint64_t now_us)
{
    while (timer_list != nullptr && timer_list->due_us <= now_us) {
        timer_callback callback = timer_list->callback;
        void *context = timer_list->context;
        // Unlinked before the call, so that the callback may arm the same id again.
        timer_remove(timer_list->id);
        callback(context);
    }
}

uint64_t timers_run_due(void)
{
    if (timer_list == nullptr)
        return 0;
    uint64_t now_us = clock_monotonic_us();
    timers_fire_due(now_us);
    return now_us;
}

int64_t timers_wait_limit_us(uint64_t now_us)
{
    if (timer_list == nullptr)
        return -1;
    if (now_us >= timer_list->due_us)
        return 0;
    return static_cast<int64_t>(timer_list->due_us - now_us);
}

void timers_clear(void)
{
    while (timer_list != nullptr)
        timer_remove(timer_list->id);
}
