#include "app/loop.h"

#include <stdio.h>

// The summary at the end, or when SIGUSR1 asks for one: each stream's, then each feed's.
// Where the run does not count drops as they come (no summary was asked for), a summary asked
// for on the way reads the socket's count outright, for its first stream: it counts from the
// socket's start.
static bool read_drops_outright(run_state *state, const stream_state *stream, uint64_t *drops)
{
    uint32_t count;
    *drops = 0;
    const receiver *r = &state->receive.receivers[stream->receiver];
    if (!r->opened || !state->calls->read_drops(state->calls->context, r->socket, &count))
        return false;
    if (&state->watched.streams[state->receive.receiver_streams[r->first]] == stream)
        *drops = count;
    return true;
}

static void emit_feed_summary(run_state *state, const feed_snapshot *figures)
{
    feed_summary_event event = {figures};
    event_head head = head_of(state, nullptr, utc_now(state));
    state->outputs.out->feed_summary(state->outputs.out, &head, &event);
}

void emit_summary(run_state *state)
{
    run_snapshot *snapshot = &state->outputs.snapshot;
    take_run_snapshot(state);
    uint64_t duration_us =
        elapsed_us(state->calls->monotonic_us(state->calls->context), state->started_us);
    for (int i = 0; i < snapshot->stream_count; i++) {
        stream_state *stream = &state->watched.streams[i];
        stream_snapshot *figures = &snapshot->streams[i];
        if (!figures->host_drops_counted && !state->from_capture)
            figures->host_drops_counted = read_drops_outright(state, stream, &figures->host_drops);
        summary_event event = {figures, duration_us, state->needs.stamps_arrivals,
                               state->from_capture, state->options->rejoin_us != 0};
        event_head head = head_of(state, stream, utc_now(state));
        state->outputs.out->summary(state->outputs.out, &head, &event);
    }
    // A capture in which no stream was found still ends with its summary, of nothing and
    // naming no stream.
    if (snapshot->stream_count == 0) {
        static const join_watch no_join = {};
        stream_snapshot nothing = {};
        nothing.join = &no_join;
        summary_event event = {&nothing, duration_us, state->needs.stamps_arrivals,
                               state->from_capture, false};
        event_head head = head_of(state, nullptr, utc_now(state));
        state->outputs.out->summary(state->outputs.out, &head, &event);
    }
    for (int i = 0; i < snapshot->feed_count; i++)
        emit_feed_summary(state, &snapshot->feeds[i]);
}

// A socket's drops, kept with its first stream, belong to no stream more than another: the
// verdict counts them once where any stream of the socket is judged by its own loss.
static uint64_t judged_host_drops(const run_state *state)
{
    uint64_t drops = 0;
    for (int i = 0; i < state->receive.receiver_count; i++) {
        const receiver *r = &state->receive.receivers[i];
        bool judged = false;
        for (int k = r->first; k < r->first + r->count; k++)
            judged = judged || state->watched.streams[state->receive.receiver_streams[k]].feed == nullptr;
        if (judged && r->count > 0)
            add_saturating(&drops, state->watched.streams[state->receive.receiver_streams[r->first]].host_drops);
    }
    return drops;
}

// The verdict and its reasons, as loop.h says: the run's lost numbers, its judged drops, and
// the first stream or feed that had nothing come.
void verdict_of(const run_state *state, verdict_event *event)
{
    uint64_t lost = 0, received = 0;
    *event = {};
    for (int i = 0; i < state->watched.stream_count; i++) {
        const stream_state *stream = &state->watched.streams[i];
        sender_census census;
        track_counts total = senders_total(&state->watched.senders, i, &census);
        add_saturating(&received, total.received);
        if (stream->feed != nullptr)
            continue;
        add_saturating(&lost, total.lost);
        if (total.received == 0 && event->silent_stream == nullptr)
            event->silent_stream = stream->config->name;
    }
    for (int i = 0; i < state->watched.feed_count; i++) {
        const feed_counts *counts = &state->watched.feeds[i].state.counts;
        add_saturating(&lost, counts->lost);
        if (counts->numbers == 0 && counts->missed == 0 && event->silent_feed == nullptr)
            event->silent_feed = state->watched.feeds[i].name;
    }
    uint64_t host_drops = judged_host_drops(state);
    uint64_t judged = lost;
    add_saturating(&judged, host_drops);
    bool silent = event->silent_stream != nullptr || event->silent_feed != nullptr;
    event->lost = lost;
    event->host_drops = host_drops;
    event->host_drops_counted = state->receive.host_drops_counted;
    event->allowed = state->options->max_lost;
    event->received = received;
    event->status = received == 0 || silent || judged > state->options->max_lost ? 1 : 0;
}
