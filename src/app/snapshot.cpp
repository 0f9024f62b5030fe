#include "app/loop.h"

// What the run keeps of a stream beside its senders, as a report reads it.
static void take_stream(const run_state *state, const stream_state *stream,
                        stream_snapshot *figures)
{
    figures->host_drops_counted = state->receive.host_drops_counted;
    figures->host_drops = stream->host_drops;
    figures->fragmented = stream->fragmented;
    figures->truncated = stream->truncated;
    figures->interarrival = state->needs.stamps_arrivals ? &stream->judge.interarrival : nullptr;
    figures->interarrival_sum_us = stream->judge.interarrival_sum_us;
    figures->delays = stream->config->have_sent_at ? &stream->judge.delays : nullptr;
    figures->join = &stream->join;
    figures->ts = stream->judge.ts != nullptr ? &stream->judge.ts->counts : nullptr;
}

static void take_feed(const run_state *state, const feed_record *feed, feed_snapshot *figures)
{
    *figures = {feed->name, &feed->state.counts, feed->state.line_count, {}, &feed->state.behind,
                feed->state.max_skew_us != FEED_NO_MAX_SKEW};
    for (int line = 0; line < feed->state.line_count; line++)
        figures->line_names[line] = state->watched.streams[feed->lines[line]].config->name;
}

const run_snapshot *take_run_snapshot(run_state *state)
{
    run_snapshot *snapshot = &state->outputs.snapshot;
    read_all_drops(state);
    snapshot_senders(snapshot, &state->watched.senders, state->watched.stream_count);
    for (int i = 0; i < snapshot->stream_count; i++)
        take_stream(state, &state->watched.streams[i], &snapshot->streams[i]);
    snapshot->feed_count = 0;
    for (int i = 0; i < state->watched.feed_count && i < snapshot->feed_room; i++)
        take_feed(state, &state->watched.feeds[i], &snapshot->feeds[snapshot->feed_count++]);
    return snapshot;
}
