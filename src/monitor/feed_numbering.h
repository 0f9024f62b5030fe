// A feed's numberings: which one a line's datagram belongs to and at what offset, opening,
// dropping and letting go of numberings, and moving on to the next once the present one is
// decided. Only the feed's judgement (feed.cpp) uses it.
#pragma once

#include <stdint.h>

#include "monitor/feed.h"

static inline feed_epoch *epoch_at(feed_state *feed, uint32_t k)
{
    return &feed->epochs[k & (FEED_NUMBERINGS_MAX - 1)];
}

static inline const feed_epoch *epoch_of(const feed_state *feed, uint32_t k)
{
    return &feed->epochs[k & (FEED_NUMBERINGS_MAX - 1)];
}

// Where a datagram goes: the numbering and offset of its line, and whether it opens one.
struct feed_mapping {
    bool taken;
    uint32_t epoch;
    uint64_t offset;
    bool opens;
    bool closes;          // one past the bound: the present one must be decided first
};

feed_mapping map_datagram(const feed_state *feed, int line, const feed_datagram *datagram);

// The lowest place worth keeping: the settled one, or what a line may still deliver in its
// numbering, below the highest it passed (a line not heard yet: from the oldest numbering).
uint64_t held_from(const feed_state *feed);

// The line's datagram begins its place in the numbering to->epoch (opening it where to says).
void join(feed_state *feed, int line, const feed_datagram *datagram, const feed_mapping *to);

// A line of the numbering before the newest reached the newest: the lines that opened it
// restarted alone, and take their numbers into the one before by their field.
void drop_newest(feed_state *feed);

// The present numbering is decided: the next one, once every line in it moved on (or with
// at_end), is the present. Returns whether it moved on.
bool follow_next(feed_state *feed, bool at_end);
