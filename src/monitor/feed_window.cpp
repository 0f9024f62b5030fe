#include "monitor/feed_window.h"

#include <stdlib.h>

static_assert(sizeof(feed_slot) == 24, "the memory bound stated for FEED_WINDOW_MAX");

int window_open(feed_state *feed)
{
    feed->window = FEED_WINDOW_FIRST;
    feed->slots = static_cast<feed_slot *>(calloc(FEED_WINDOW_FIRST, sizeof(feed_slot)));
    return feed->slots == nullptr ? -1 : 0;
}

void window_close(feed_state *feed)
{
    free(feed->slots);
    free(feed->lost_bits);
    feed->slots = nullptr;
    feed->lost_bits = nullptr;
}

void window_mark_lost(feed_state *feed, uint64_t place, bool lost)
{
    if (feed->lost_bits == nullptr)
        return;
    uint64_t bit = place & (FEED_LOST_SPAN - 1);
    if (lost)
        feed->lost_bits[bit / 64] |= uint64_t(1) << (bit % 64);
    else
        feed->lost_bits[bit / 64] &= ~(uint64_t(1) << (bit % 64));
}

bool window_remembered_lost(const feed_state *feed, uint64_t place)
{
    if (feed->lost_bits == nullptr || feed->ring_end - place > FEED_LOST_SPAN)
        return false;
    uint64_t bit = place & (FEED_LOST_SPAN - 1);
    return (feed->lost_bits[bit / 64] >> (bit % 64)) & 1;
}

void window_advance(feed_state *feed, uint64_t end)
{
    if (!before(feed->ring_end, end))
        return;
    if (feed->lost_bits != nullptr) {
        uint64_t from = end - feed->ring_end > FEED_LOST_SPAN ? end - FEED_LOST_SPAN : feed->ring_end;
        for (uint64_t place = from; before(place, end); place++)
            window_mark_lost(feed, place, false);
    }
    feed->ring_end = end;
}

bool window_grow(feed_state *feed, uint64_t needed)
{
    uint32_t window = feed->window;
    while (window < needed)
        window *= 2;
    feed_slot *slots = static_cast<feed_slot *>(calloc(window, sizeof(feed_slot)));
    if (slots == nullptr)
        return false;
    if (window == FEED_WINDOW_MAX) {
        feed->lost_bits = static_cast<uint64_t *>(calloc(FEED_LOST_SPAN / 64, sizeof(uint64_t)));
        if (feed->lost_bits == nullptr) {
            free(slots);
            return false;
        }
    }
    // Decided places stay, so that a late copy of a lost one is still known.
    for (uint64_t place = feed->ring_end - feed->window; place != feed->ring_end; place++) {
        slots[place & (window - 1)] = *window_slot(feed, place);
        window_mark_lost(feed, place, window_slot(feed, place)->lost);
    }
    free(feed->slots);
    feed->slots = slots;
    feed->window = window;
    return true;
}

void window_clear(feed_state *feed, uint64_t from, uint64_t end)
{
    for (uint64_t place = from; before(place, end); place++)
        *window_slot(feed, place) = feed_slot{};
}
