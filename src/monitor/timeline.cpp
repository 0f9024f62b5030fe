#include "monitor/timeline.h"

#include <string.h>

void timeline_start(timeline *line, uint64_t origin_utc_us, uint64_t interval_us)
{
    line->origin_utc_us = origin_utc_us;
    line->interval_us = interval_us;
    line->used = 0;
    line->current_end_us = origin_utc_us;
    memset(line->intervals, 0, sizeof line->intervals);
    line->outage_count = 0;
}

static void add_u32_saturating(uint32_t *count, uint64_t amount)
{
    uint64_t sum = *count + amount;
    *count = sum > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(sum);
}

static void merge_pairs(timeline *line)
{
    for (int i = 0; i < TIMELINE_INTERVALS / 2; i++) {
        timeline_interval *to = &line->intervals[i];
        const timeline_interval *a = &line->intervals[2 * i];
        const timeline_interval *b = &line->intervals[2 * i + 1];
        timeline_interval merged = {a->datagrams + b->datagrams, a->missed + b->missed, a->late,
                                    a->host_drops};
        add_u32_saturating(&merged.late, b->late);
        add_u32_saturating(&merged.host_drops, b->host_drops);
        *to = merged;
    }
    memset(&line->intervals[TIMELINE_INTERVALS / 2], 0,
           sizeof line->intervals[0] * (TIMELINE_INTERVALS / 2));
    line->interval_us *= 2;
}

// The interval a time falls in, merging until it fits. Only a time past the latest interval
// divides; the intervals before it stay where they are.
timeline_interval *timeline_at(timeline *line, uint64_t at_utc_us)
{
    if (at_utc_us < line->current_end_us && line->used > 0) {
        if (at_utc_us + line->interval_us >= line->current_end_us)
            return &line->intervals[line->used - 1];
        uint64_t offset_us = at_utc_us > line->origin_utc_us ? at_utc_us - line->origin_utc_us : 0;
        return &line->intervals[offset_us / line->interval_us];
    }
    uint64_t offset_us = at_utc_us > line->origin_utc_us ? at_utc_us - line->origin_utc_us : 0;
    uint64_t index = offset_us / line->interval_us;
    while (index >= TIMELINE_INTERVALS) {
        merge_pairs(line);
        index = offset_us / line->interval_us;
    }
    line->used = static_cast<int>(index) + 1;
    line->current_end_us = line->origin_utc_us + (index + 1) * line->interval_us;
    return &line->intervals[index];
}

void timeline_count(timeline *line, uint64_t at_utc_us, uint64_t missed, uint64_t late)
{
    timeline_interval *at = timeline_at(line, at_utc_us);
    at->datagrams++;
    at->missed += missed;
    if (late != 0)
        add_u32_saturating(&at->late, late);
}

void timeline_drops(timeline *line, uint64_t at_utc_us, uint64_t count)
{
    add_u32_saturating(&timeline_at(line, at_utc_us)->host_drops, count);
}

// Full: the two spans with the least time between them become one.
static void merge_nearest_outages(timeline *line)
{
    int nearest = 0;
    uint64_t least_us = UINT64_MAX;
    for (int i = 0; i + 1 < line->outage_count; i++) {
        const outage_span *a = &line->outages[i];
        const outage_span *b = &line->outages[i + 1];
        uint64_t between_us = b->from_utc_us > a->to_utc_us ? b->from_utc_us - a->to_utc_us : 0;
        if (between_us < least_us) {
            least_us = between_us;
            nearest = i;
        }
    }
    outage_span *a = &line->outages[nearest];
    const outage_span *b = &line->outages[nearest + 1];
    if (b->to_utc_us > a->to_utc_us)
        a->to_utc_us = b->to_utc_us;
    memmove(&line->outages[nearest + 1], &line->outages[nearest + 2],
            sizeof line->outages[0] * static_cast<size_t>(line->outage_count - nearest - 2));
    line->outage_count--;
}

// The place of a span starting at from_utc_us among those kept in order of their start.
static int outage_place(const timeline *line, uint64_t from_utc_us)
{
    int place = line->outage_count;
    while (place > 0 && line->outages[place - 1].from_utc_us > from_utc_us)
        place--;
    return place;
}

// Spans are kept in order of their start; one that overlaps the one before widens it. A
// sender's outages come in order, but two senders' may interleave.
void timeline_outage(timeline *line, uint64_t from_utc_us, uint64_t to_utc_us)
{
    int place = outage_place(line, from_utc_us);
    if (place > 0 && line->outages[place - 1].to_utc_us >= from_utc_us) {
        outage_span *before = &line->outages[place - 1];
        if (to_utc_us > before->to_utc_us)
            before->to_utc_us = to_utc_us;
        return;
    }
    if (line->outage_count == TIMELINE_OUTAGES) {
        merge_nearest_outages(line);
        place = outage_place(line, from_utc_us);
    }
    memmove(&line->outages[place + 1], &line->outages[place],
            sizeof line->outages[0] * static_cast<size_t>(line->outage_count - place));
    line->outages[place] = {from_utc_us, to_utc_us};
    line->outage_count++;
}

timeline_interval timeline_total(const timeline *line)
{
    timeline_interval total = {};
    for (int i = 0; i < line->used; i++) {
        total.datagrams += line->intervals[i].datagrams;
        total.missed += line->intervals[i].missed;
        add_u32_saturating(&total.late, line->intervals[i].late);
        add_u32_saturating(&total.host_drops, line->intervals[i].host_drops);
    }
    return total;
}
