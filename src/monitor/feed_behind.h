// A feed's times behind the first copy and its copies beyond the max skew: each line's delay
// behind a number's earliest copy, counted as copies come, and judged again where a copy read
// later came earlier. Only the feed's judgement (feed.cpp) uses it.
#pragma once

#include <stdint.h>

#include "monitor/feed.h"

// The number's first copy came more than the max skew after a line passed it: a receiver that
// waits no longer for a hole to fill did without it. Judged again where an earlier copy came.
void judge_window(feed_state *feed, feed_slot *slot);

// A line's first copy of a number another line delivered first.
void note_later_copy(feed_state *feed, feed_slot *slot, int line, uint64_t arrival_us);

// A line's copy that came before the first so far (read after it): the line that was first runs
// behind it, and its 0, where it was counted, is taken back.
void note_earlier_copy(feed_state *feed, feed_slot *slot, int line, uint64_t arrival_us);
