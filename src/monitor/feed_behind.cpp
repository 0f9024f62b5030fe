#include "monitor/feed_behind.h"

static void judge_beyond(feed_state *feed, feed_slot *slot, int line, bool beyond)
{
    uint8_t bit = static_cast<uint8_t>(1u << line);
    if (beyond == ((slot->beyond & bit) != 0))
        return;
    slot->beyond = static_cast<uint8_t>(slot->beyond ^ bit);
    if (beyond)
        feed->counts.beyond[line]++;
    else
        feed->counts.beyond[line]--;
}

static void add_behind(feed_state *feed, int line, uint64_t behind_us)
{
    feed_behind *behind = &feed->behind;
    histogram_add_near(&behind->times[line], behind_us, &behind->last_bucket[line]);
    behind->sum_us[line] += behind_us;
    if (behind_us > behind->period_max_us[line])
        behind->period_max_us[line] = behind_us;
}

static void note_behind(feed_state *feed, feed_slot *slot, int line, uint64_t behind_us)
{
    add_behind(feed, line, behind_us);
    judge_beyond(feed, slot, line, behind_us > feed->max_skew_us);
}

void judge_window(feed_state *feed, feed_slot *slot)
{
    bool lost = slot->first_us > slot->passed_us &&
                slot->first_us - slot->passed_us > feed->max_skew_us;
    if (lost != (slot->window_lost != 0)) {
        slot->window_lost = lost;
        if (lost)
            feed->counts.lost_in_window++;
        else
            feed->counts.lost_in_window--;
    }
    judge_beyond(feed, slot, slot->first_line, lost);
}

void note_later_copy(feed_state *feed, feed_slot *slot, int line, uint64_t arrival_us)
{
    // The first line's 0 counts once a second line delivered the number.
    if ((slot->who & (slot->who - 1)) == 0)
        add_behind(feed, slot->first_line, 0);
    note_behind(feed, slot, line, arrival_us - slot->first_us);
}

void note_earlier_copy(feed_state *feed, feed_slot *slot, int line, uint64_t arrival_us)
{
    add_behind(feed, line, 0);
    if ((slot->who & (slot->who - 1)) != 0)
        histogram_remove(&feed->behind.times[slot->first_line], 0);
    note_behind(feed, slot, slot->first_line, slot->first_us - arrival_us);
}

void feed_behind_period(feed_state *feed, int line, histogram *from, histogram *period)
{
    const histogram *now = &feed->behind.times[line];
    *period = {};
    // A 0 taken back after the period began (an earlier copy read late) is left where it was.
    for (unsigned k = 0; k < HISTOGRAM_BUCKETS; k++) {
        period->counts[k] = now->counts[k] > from->counts[k] ? now->counts[k] - from->counts[k] : 0;
        period->total += period->counts[k];
    }
    period->max_us = feed->behind.period_max_us[line];
    *from = *now;
    feed->behind.period_max_us[line] = 0;
}
