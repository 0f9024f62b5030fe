#include "monitor/feed_numbering.h"

#include "monitor/feed_window.h"

// The offset that puts a line's place where its field number is nearest the epoch's highest.
static uint64_t offset_into(const feed_state *feed, const feed_epoch *epoch, uint64_t line_place)
{
    uint64_t mask = feed->rules.mask;
    uint64_t reference = epoch->front == epoch->start ? epoch->start : epoch->front - 1;
    uint64_t ahead = (line_place - (reference - epoch->base)) & mask;
    uint64_t place = ahead <= mask / 2 ? reference + ahead : reference - (mask - ahead) - 1;
    return place - line_place;
}

// Whether a line's place lies where its numbering's lines are: from the lowest of their highest
// places (the line's own included, as it may lag) to the highest any line passed.
static bool among_lines(const feed_state *feed, int line, uint64_t place)
{
    uint32_t k = feed->lines[line].epoch;
    uint64_t low = feed->lines[line].front;
    for (int other = 0; other < feed->line_count; other++) {
        const feed_line *ln = &feed->lines[other];
        if (ln->in_epoch && ln->epoch == k && before(ln->front, low))
            low = ln->front;
    }
    uint64_t high = epoch_of(feed, k)->front;
    return !before(place, low - FEED_EPOCH_GAP) && !before(high + FEED_EPOCH_GAP, place);
}


// A line's datagram that stays in the numbering it is in: a restart that lands where the other
// lines are is this line's own jump (a long gap, which a 16-bit field's rules take for a
// restart). A new sender that goes on from where the line was, up to where another line already
// passed (a publisher's failover), is that line's too. One that begins below the line, or past
// every line (as the new senders of a sender started again would), begins a numbering.
static bool stays(const feed_state *feed, int line, const feed_datagram *datagram, uint64_t offset)
{
    const feed_line *ln = &feed->lines[line];
    uint64_t place = datagram->first + offset;
    if (datagram->restarted)
        return among_lines(feed, line, place);
    return !before(place, ln->front) && !before(epoch_of(feed, ln->epoch)->front, place);
}

feed_mapping map_datagram(const feed_state *feed, int line, const feed_datagram *datagram)
{
    const feed_line *ln = &feed->lines[line];
    if (!datagram->new_epoch)
        return {ln->in_epoch && ln->key == datagram->epoch_key, ln->epoch, ln->offset, false, false};
    if (!feed->started)
        return {true, 0, 0, false, false};
    // The lines carry the same numberings in turn: a line's first is the oldest the feed holds
    // (it may lag), and each one on is the one after its own.
    if (!ln->placed)
        return {true, feed->oldest, offset_into(feed, epoch_of(feed, feed->oldest), datagram->first),
                false, false};
    if (ln->in_epoch) {
        uint64_t offset = offset_into(feed, epoch_of(feed, ln->epoch), datagram->first);
        if (stays(feed, line, datagram, offset))
            return {true, ln->epoch, offset, false, false};
    }
    uint32_t next = ln->epoch + 1;
    if (static_cast<int32_t>(next - feed->oldest) < 0)
        return {false, next, 0, false, false};
    if (static_cast<int32_t>(feed->newest - next) >= 0)
        return {true, next, offset_into(feed, epoch_of(feed, next), datagram->first), false, false};
    // Past the bound with nothing decided to let go: the present one is decided first.
    if (feed->newest - feed->oldest + 1 == FEED_NUMBERINGS_MAX && feed->oldest == feed->present)
        return {true, next, 0, false, true};
    uint64_t start = later(feed->ring_end, epoch_of(feed, feed->newest)->front) + FEED_EPOCH_GAP;
    return {true, next, start - datagram->first, true, false};
}

uint64_t held_from(const feed_state *feed)
{
    uint64_t from = feed->settled;
    for (int line = 0; line < feed->line_count; line++) {
        const feed_line *ln = &feed->lines[line];
        uint64_t low = from;
        if (ln->in_epoch)
            low = ln->front - FEED_REORDER_HELD;
        else if (!ln->placed)
            low = epoch_of(feed, feed->oldest)->start;
        if (before(low, from))
            from = low;
    }
    return from;
}

// The oldest numbering held is let go: a line still in it lags past what the feed holds.
static void release_oldest(feed_state *feed)
{
    for (int line = 0; line < feed->line_count; line++) {
        feed_line *ln = &feed->lines[line];
        if (ln->in_epoch && ln->epoch == feed->oldest)
            ln->in_epoch = false;
    }
    feed->oldest++;
}

void join(feed_state *feed, int line, const feed_datagram *datagram, const feed_mapping *to)
{
    feed_line *ln = &feed->lines[line];
    if (ln->in_epoch)
        epoch_at(feed, ln->epoch)->members &= ~(1u << line);
    feed_epoch *epoch = epoch_at(feed, to->epoch);
    if (!feed->started || to->opens) {
        if (feed->started && feed->newest - feed->oldest + 1 == FEED_NUMBERINGS_MAX)
            release_oldest(feed);
        uint64_t start = datagram->first + to->offset;
        *epoch = {start, start, to->offset, datagram->arrival_us, 0};
        feed->newest = to->epoch;
        if (!feed->started) {
            feed->started = true;
            // Every mark of the run is a place near the first, as they are compared by distance.
            feed->settled = feed->ring_end = feed->room_end = start;
        }
    }
    epoch->members |= 1u << line;
    if (!(ln->in_epoch && ln->epoch == to->epoch))
        ln->front = epoch->start;
    ln->placed = true;
    ln->in_epoch = true;
    ln->epoch = to->epoch;
    ln->key = datagram->epoch_key;
    ln->offset = to->offset;
}

void drop_newest(feed_state *feed)
{
    uint32_t back = feed->newest - 1;
    feed_epoch *before_it = epoch_at(feed, back);
    feed_epoch *next = epoch_at(feed, feed->newest);
    // Its numbers were never another numbering's: they no longer count.
    for (uint64_t place = next->start; before(place, next->front); place++) {
        const feed_slot *slot = window_slot(feed, place);
        if (slot->who != 0) {
            feed->counts.numbers--;
            feed->counts.first[slot->first_line]--;
        }
        // Nor do their copies beyond the max skew (their times behind are not kept apart).
        for (int line = 0; line < feed->line_count; line++)
            if (slot->beyond & (1u << line))
                feed->counts.beyond[line]--;
    }
    window_clear(feed, next->start, next->front);
    feed->ring_end = before_it->front;
    for (int line = 0; line < feed->line_count; line++) {
        feed_line *ln = &feed->lines[line];
        if (!ln->in_epoch || ln->epoch != feed->newest)
            continue;
        uint64_t line_place = next->front - 1 - ln->offset;
        uint64_t offset = offset_into(feed, before_it, line_place);
        ln->front = ln->front - ln->offset + offset;
        ln->offset = offset;
        ln->epoch = back;
        before_it->members |= 1u << line;
    }
    feed->newest = back;
}

// Places between a numbering's highest and the next one's first: a line lagging in it may still
// deliver them once the feed went on, numbers no line passed before.
static void open_gap(feed_state *feed, uint64_t from, uint64_t end)
{
    if (feed->ring_end - from > feed->window)
        from = feed->ring_end - feed->window;
    for (uint64_t place = from; before(place, end); place++) {
        *window_slot(feed, place) = {0, 0, 0, 0, 0, 0, 0};
        window_mark_lost(feed, place, false);
    }
}

// Whether a line is in no numbering, and so may yet come into the oldest: one not placed comes
// into it, and one whose numbering was let go while it was in it comes, a restart at a time,
// into each after its own.
static bool a_line_outside(const feed_state *feed)
{
    for (int line = 0; line < feed->line_count; line++)
        if (!feed->lines[line].placed || !feed->lines[line].in_epoch)
            return true;
    return false;
}

// The numberings before the present one are kept while a line may yet deliver their copies.
bool follow_next(feed_state *feed, bool at_end)
{
    if (feed->newest == feed->present)
        return false;
    feed_epoch *present = epoch_at(feed, feed->present);
    if (!(present->members == 0 || at_end))
        return false;
    feed_epoch *next = epoch_at(feed, feed->present + 1);
    open_gap(feed, present->front, next->start);
    feed->present++;
    feed->settled = next->start;
    bool outside = a_line_outside(feed);
    while (feed->oldest != feed->present && !outside && epoch_at(feed, feed->oldest)->members == 0)
        release_oldest(feed);
    return true;
}
