#include "app/loop.h"
#include "app/timers.h"

#include <stdio.h>

#include "base/log.h"

// One datagram's path once received: judged by its stream, shown, counted on the timeline,
// and handed to its feed.

static void note_arrival(run_state *state, stream_state *stream,
                         const received_datagram *datagram)
{
    uint64_t at_us = datagram->at_us;
    if (stream->stalled) {
        stream->stalled = false;
        event_head head = head_of(state, stream, datagram->arrival_utc_us);
        state->outputs.out->resume(state->outputs.out, &head, elapsed_us(at_us, stream->last_arrival_us) / 1000);
        if (!state->timing.stall_timer.armed)
            timer_arm(&state->timing.stall_timer, at_us + uint64_t(state->options->stall_ms) * 1000);
    }
    // Datagrams of two sockets may be taken out of their order of arrival.
    if (at_us > stream->last_arrival_us)
        stream->last_arrival_us = at_us;
}

// A feed's holes go to the sink as they are decided, a few at a time.
static void settle_feed(run_state *state, feed_record *feed, uint64_t now_us, bool at_end)
{
    feed_hole holes[16];
    int found;
    do {
        found = feed_settle(&feed->state, now_us, at_end, holes, 16);
        for (int i = 0; i < found && state->options->check_gaps; i++) {
            // A hole is said at the time it fell due, not when a later copy showed it was.
            uint64_t due_us = holes[i].due_us != 0 && holes[i].due_us < now_us ? holes[i].due_us
                                                                                : now_us;
            event_head head = head_of(state, nullptr, utc_of(state, due_us));
            feed_gap_event event = {feed->name, holes[i],
                                    &state->watched.streams[feed->lines[0]].config->layout};
            state->outputs.out->feed_gap(state->outputs.out, &head, &event);
        }
    } while (found == 16);
}

void settle_feeds(run_state *state, uint64_t now_us, bool at_end)
{
    for (int i = 0; i < state->watched.feed_count; i++)
        settle_feed(state, &state->watched.feeds[i], now_us, at_end);
}

// The numbers a line delivered, where its tracker placed them, to its feed; what they make
// decidable is decided at once.
static void deliver_to_feed(run_state *state, stream_state *stream, const sender_entry *sender,
                            const track_place *place, seq_class kind, uint64_t arrival_us)
{
    feed_record *feed = stream->feed;
    // A sender's entry and its epoch name a numbering; entries are far more than 2^16 bytes apart.
    uint64_t key = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(sender)) ^
                   (static_cast<uint64_t>(place->epoch) << 48);
    feed_datagram datagram = {key,           kind == SEQ_FIRST || kind == SEQ_RESTART,
                              kind == SEQ_RESTART, place->first,
                              place->count,  place->passed_end,
                              arrival_us};
    // What fell due before the copy came is decided first: a copy past the arbitration time
    // finds its number given up (and said so), and is late.
    if (arrival_us > 0) {
        feed_heard_until(&feed->state, stream->feed_line, arrival_us - 1);
        settle_feed(state, feed, arrival_us - 1, false);
    }
    while (feed_deliver(&feed->state, stream->feed_line, &datagram) == 1)
        settle_feed(state, feed, arrival_us, false);
    settle_feed(state, feed, arrival_us, false);
    arm_feed_timer(state, arrival_us);
    if (feed->state.lag_line >= 0 && !feed->lag_said) {
        feed->lag_said = true;
        const stream_state *line = &state->watched.streams[feed->lines[feed->state.lag_line]];
        feed_lag_event event = {feed->name, line->config->name, feed->state.window};
        event_head head = head_of(state, nullptr, utc_of(state, arrival_us));
        state->outputs.out->feed_lag(state->outputs.out, &head, &event);
    }
}

struct packet_errors {
    run_state *state;
    const event_head *head;
};

static void say_packet_error(void *context, const ts_error *error)
{
    packet_errors *to = static_cast<packet_errors *>(context);
    sink *out = to->state->outputs.out;
    if (out->ts_error != nullptr)
        out->ts_error(out, to->head, error);
}

static void keep_packet_error(void *, const ts_error *)
{
}

// Said once a run, when a stream's sender first finds no entry of its own: what it sends is
// counted from there on, but not judged.
static void say_senders_shared(run_state *state, const stream_state *stream)
{
    state->said_shared = true;
    const char *name = stream->label.name;
    log_line(stderr, "error", "More senders than the table holds (%d, and %d more for each stream "
             "past the first)%s%s: the datagrams of those past it are counted together as "
             "\"other senders\", not judged", SENDERS_MAX, SENDERS_PER_STREAM,
             name != nullptr ? " on " : "", name != nullptr ? name : "");
}

// Said once for each limit a stream's tables passed: what they named past it is not timed, so
// its absence would never be said.
static void say_ts_limits(stream_state *stream)
{
    uint8_t passed = stream->judge.ts->limits_passed;
    const char *name = stream->label.name;
    if ((passed & ~stream->ts_limits_said & TS_PAST_PROGRAMS) != 0)
        log_line(stderr, "error", "The PAT names more programs than are watched (%d)%s%s: the "
                 "PMTs of those past them are not timed", TS_PROGRAMS_MAX,
                 name != nullptr ? " on " : "", name != nullptr ? name : "");
    if ((passed & ~stream->ts_limits_said & TS_PAST_PIDS) != 0)
        log_line(stderr, "error", "The PMTs name more PIDs than are watched (%d)%s%s: those "
                 "past them are not timed", TS_WATCHED_PIDS_MAX,
                 name != nullptr ? " on " : "", name != nullptr ? name : "");
    stream->ts_limits_said = passed;
}

// The datagram in its interval, and the outage its gap ended.
static void note_on_timeline(timeline *line, const take_outcome *taken, uint64_t at_utc_us)
{
    timeline_count(line, at_utc_us, taken->missed_numbers, taken->late_numbers);
    if (taken->kind == SEQ_GAP && taken->sender_before_utc_us != 0)
        timeline_outage(line, taken->sender_before_utc_us, at_utc_us);
}

void take_datagram(run_state *state, int place, const received_datagram *datagram)
{
    const settings *options = state->options;
    stream_state *stream = &state->watched.streams[place];
    take_outcome taken =
        stream_take(&stream->judge, &state->judging, &state->watched.senders, place, datagram);
    if (taken.sender->shared && !state->said_shared)
        say_senders_shared(state, stream);
    if (stream->judge.ts != nullptr && stream->judge.ts->limits_passed != stream->ts_limits_said)
        say_ts_limits(stream);
    if (options->stall_ms != 0 || options->rejoin_us != 0)
        note_arrival(state, stream, datagram);
    if (stream->line != nullptr)
        note_on_timeline(stream->line, &taken, datagram->arrival_utc_us);
    event_head head = head_of(state, stream, datagram->arrival_utc_us);
    if (!stream->join.heard && join_heard(&stream->join, datagram->at_us))
        state->outputs.out->first_datagram(state->outputs.out, &head, stream->join.latency_us);
    if (taken.gap.kind != GAP_NONE) {
        gap_event gap = {&datagram->from, taken.gap, options->per_sender, taken.kind,
                         taken.have_outage, taken.outage_us};
        state->outputs.out->gap(state->outputs.out, &head, &gap);
        if (options->verbose && taken.gap.kind == GAP_EXTRA) {
            class_event event = {&datagram->from, taken.reading.seq, taken.kind};
            state->outputs.out->classified(state->outputs.out, &head, &event);
        }
    }
    packet_errors errors = {state, &head};
    stream_take_packets(&stream->judge, datagram, &taken,
                        options->check_gaps ? say_packet_error : keep_packet_error, &errors);
    if (!options->quiet) {
        datagram_event event = {&datagram->from, &stream->request.group,
                                datagram->length_bytes, taken.reading.seq, taken.reading.count,
                                taken.kind, taken.reading.end_of_session};
        state->outputs.out->datagram(state->outputs.out, &head, &event);
    }
    if (taken.where.placed && stream->feed != nullptr)
        deliver_to_feed(state, stream, taken.sender, &taken.where, taken.kind, datagram->at_us);
    if (++state->taken == options->count_max)
        state->stopping = true;
}
