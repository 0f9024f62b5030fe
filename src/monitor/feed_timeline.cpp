#include "monitor/feed_timeline.h"

#include <string.h>

void feed_timeline_start(feed_timeline *line, uint64_t origin_us, uint64_t interval_us)
{
    timeline_start(&line->decided, origin_us, interval_us);
    memset(line->alone, 0, sizeof line->alone);
}

// The index of the interval at_us falls in; the alone counts merge as the timeline's do.
static int index_at(feed_timeline *line, uint64_t at_us)
{
    uint64_t interval_us = line->decided.interval_us;
    int index = static_cast<int>(timeline_at(&line->decided, at_us) - line->decided.intervals);
    for (; interval_us < line->decided.interval_us; interval_us *= 2) {
        for (int i = 0; i < TIMELINE_INTERVALS / 2; i++)
            for (int l = 0; l < FEED_LINES_MAX; l++)
                line->alone[i][l] = line->alone[2 * i][l] + line->alone[2 * i + 1][l];
        memset(line->alone[TIMELINE_INTERVALS / 2], 0,
               sizeof line->alone[0] * (TIMELINE_INTERVALS / 2));
    }
    return index;
}

void feed_timeline_missed(feed_timeline *line, uint64_t at_us, uint64_t count)
{
    line->decided.intervals[index_at(line, at_us)].missed += count;
}

void feed_timeline_late(feed_timeline *line, uint64_t at_us)
{
    uint32_t *late = &line->decided.intervals[index_at(line, at_us)].late;
    if (*late < UINT32_MAX)
        ++*late;
}

void feed_timeline_alone(feed_timeline *line, int line_index, uint64_t at_us, bool gained)
{
    uint32_t *alone = &line->alone[index_at(line, at_us)][line_index];
    if (gained && *alone < UINT32_MAX)
        ++*alone;
    else if (!gained && *alone > 0)
        --*alone;
}
