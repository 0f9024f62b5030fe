// A feed's window: the ring of slots its places are held in, grown by doubling up to its bound,
// and once at the bound the bits that remember which places further back were decided lost.
// Only the feed's judgement (feed.cpp) uses it.
#pragma once

#include <stdint.h>

#include "monitor/feed.h"

// Places are compared by their wrapping distance: the feed holds far fewer than 2^63 of them.
static inline bool before(uint64_t a, uint64_t b)
{
    return static_cast<int64_t>(a - b) < 0;
}

static inline uint64_t later(uint64_t a, uint64_t b)
{
    return before(a, b) ? b : a;
}

static inline feed_slot *window_slot(const feed_state *feed, uint64_t place)
{
    return &feed->slots[place & (feed->window - 1)];
}

// The first window is allocated here. Returns 0, or -1 when memory ran out.
int window_open(feed_state *feed);
void window_close(feed_state *feed);

// Sets or clears the place's bit, once the window is at its bound.
void window_mark_lost(feed_state *feed, uint64_t place, bool lost);

// Whether a place no longer held, at most FEED_LOST_SPAN below the ring's end, was lost.
bool window_remembered_lost(const feed_state *feed, uint64_t place);

// The ring reaches end: what its bits said of the places a span before is forgotten.
void window_advance(feed_state *feed, uint64_t end);

// Doubles the window until it holds needed places. Returns false when memory ran out.
bool window_grow(feed_state *feed, uint64_t needed);

// The window grows to hold places from the settled one to end, and as many below as it may
// from from on. Returns false where the undecided ones alone are more than it may hold. Here,
// as every datagram asks it and it almost never grows.
static inline bool window_make_room(feed_state *feed, uint64_t from, uint64_t end)
{
    if (end - feed->settled > FEED_WINDOW_MAX)
        return false;
    uint64_t needed = end - from;
    if (needed > FEED_WINDOW_MAX)
        needed = FEED_WINDOW_MAX;
    return needed <= feed->window || window_grow(feed, needed);
}

void window_clear(feed_state *feed, uint64_t from, uint64_t end);
