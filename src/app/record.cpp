#include "app/loop.h"

#include <stdlib.h>
#include <string.h>

#include "app/timers.h"
#include "app/top.h"
#include "base/log.h"

int stream_init(stream_state *stream, const stream_settings *config, const settings *options)
{
    // A transport stream's state is made here, at the start or when a capture's stream is
    // found, never per datagram.
    ts_stream *ts = nullptr;
    if (config->layout.payload != PAYLOAD_OPAQUE) {
        ts = static_cast<ts_stream *>(malloc(sizeof *ts));
        if (ts == nullptr) {
            log_line(stderr, "error", "out of memory for a transport stream's %llu bytes",
                     static_cast<unsigned long long>(sizeof *ts));
            return -1;
        }
    }
    stream->config = config;
    stream->label = {config->name, config->feed, &config->layout};
    stream->receiver = -1;
    stream->joined = false;
    stream->join = join_watch{};
    judge_start(&stream->judge, &config->layout, config->have_sent_at ? &config->sent_at : nullptr,
                options->period_us, ts, options->pid_timeout_us);
    stream->stalled = false;
    stream->host_drops = 0;
    stream->host_drops_reported = 0;
    stream->feed = nullptr;
    stream->fragmented = 0;
    stream->truncated = 0;
    stream->line = nullptr;
    stream->ts_limits_said = 0;
    return 0;
}

// With --report, a stream's timeline: made with the stream, never per datagram. Returns 0, or
// -1 after an error line.
static int open_timeline(run_state *state, stream_state *stream)
{
    if (state->options->report_path == nullptr)
        return 0;
    stream->line = static_cast<timeline *>(malloc(sizeof *stream->line));
    if (stream->line == nullptr) {
        log_line(stderr, "error", "out of memory for a stream's timeline");
        return -1;
    }
    timeline_start(stream->line, state->start_utc_us, REPORT_FIRST_INTERVAL_US);
    return 0;
}

void start_timelines(run_state *state)
{
    for (int i = 0; i < state->watched.stream_count; i++)
        if (state->watched.streams[i].line != nullptr)
            timeline_start(state->watched.streams[i].line, state->start_utc_us,
                           REPORT_FIRST_INTERVAL_US);
}

// Each feed named by a stream, with its lines in the file's order. Returns 0, or -1 after an
// error line.
static int make_feeds(run_state *state)
{
    state->watched.feed_count = 0;
    for (int i = 0; i < state->watched.stream_count; i++) {
        stream_state *stream = &state->watched.streams[i];
        const char *name = stream->config->feed;
        if (name == nullptr)
            continue;
        feed_record *feed = nullptr;
        for (int f = 0; f < state->watched.feed_count; f++)
            if (strcmp(state->watched.feeds[f].name, name) == 0)
                feed = &state->watched.feeds[f];
        if (feed == nullptr) {
            feed = &state->watched.feeds[state->watched.feed_count++];
            feed->name = name;
            if (feed_open(&feed->state, &stream->judge.rules, 0, state->options->arbitration_us,
                          state->options->max_skew_us) < 0) {
                state->watched.feed_count--;
                log_line(stderr, "error", "out of memory for feed \"%s\"", name);
                return -1;
            }
        }
        stream->feed = feed;
        stream->feed_line = feed->state.line_count;
        feed->lines[feed->state.line_count++] = i;
    }
    return 0;
}

int run_state_init(run_state *state, const settings *options, const stream_settings *streams,
                   int stream_count, int stream_capacity, const loop_calls *calls, sink *out)
{
    state->options = options;
    state->calls = calls;
    state->outputs.out = out;
    state->watched.stream_count = stream_count;
    state->watched.stream_capacity = stream_capacity;
    state->receive.open_count = 0;
    state->queries.count = 0;
    state->queries.watch_count = 0;
    state->queries.queriers.count = 0;
    state->queries.queriers.other_queries = 0;
    state->from_capture = false;
    state->watched.feed_count = 0;
    state->receive.waits_open = false;
    size_t count = static_cast<size_t>(stream_capacity);
    state->watched.streams = static_cast<stream_state *>(calloc(count, sizeof *state->watched.streams));
    state->watched.feeds = static_cast<feed_record *>(calloc(count, sizeof *state->watched.feeds));
    state->receive.receivers = static_cast<receiver *>(calloc(count, sizeof *state->receive.receivers));
    state->receive.receiver_streams = static_cast<int *>(calloc(count, sizeof *state->receive.receiver_streams));
    // The wait set holds the query sockets after the receivers'.
    size_t waited = count + QUERY_SOCKETS_MAX;
    state->receive.sockets = static_cast<socket_handle *>(calloc(waited, sizeof *state->receive.sockets));
    state->receive.pending = static_cast<int *>(calloc(waited, sizeof *state->receive.pending));
    state->queries.watches = static_cast<query_watch *>(calloc(count, sizeof *state->queries.watches));
    state->outputs.metric_views = static_cast<metrics_view *>(calloc(count, sizeof *state->outputs.metric_views));
    state->outputs.metric_feeds = static_cast<metrics_feed *>(calloc(count, sizeof *state->outputs.metric_feeds));
    state->outputs.top = static_cast<top_view *>(calloc(1, sizeof *state->outputs.top));
    state->receive.receiver_count = 0;
    bool made = state->watched.streams != nullptr && state->watched.feeds != nullptr &&
                state->receive.receivers != nullptr && state->receive.receiver_streams != nullptr &&
                state->receive.sockets != nullptr && state->receive.pending != nullptr &&
                state->queries.watches != nullptr &&
                state->outputs.metric_views != nullptr && state->outputs.metric_feeds != nullptr &&
                state->outputs.top != nullptr;
    if (!made || senders_open(&state->watched.senders, SENDER_IDLE_US, stream_capacity) < 0) {
        log_line(stderr, "error", "out of memory for %d streams", stream_count);
        run_state_free(state);
        return -1;
    }
    state->start_utc_us = 0;
    state->watched.stream_count = 0;
    for (int i = 0; i < stream_count; i++) {
        if (stream_init(&state->watched.streams[i], &streams[i], options) < 0) {
            run_state_free(state);
            return -1;
        }
        state->watched.stream_count++;
        if (open_timeline(state, &state->watched.streams[i]) < 0) {
            run_state_free(state);
            return -1;
        }
    }
    if (make_feeds(state) < 0) {
        run_state_free(state);
        return -1;
    }
    add_run_timers(state);
    state->failed = false;
    state->receive.nap_us = 0;
    state->receive.room_bytes = 0;
    state->started_us = state->calls->monotonic_us(state->calls->context);
    state->taken = 0;
    state->said_shared = false;
    state->stopping = false;
    state->receive.host_drops_counted = false;
    state->needs = needs_of(options, streams, stream_count);
    state->judging = {options->check_gaps, options->per_sender, state->needs.stamps_arrivals};
    state->outputs.run_label = {nullptr, nullptr, stream_count > 0 ? &streams[0].layout : &options->layout};
    for (int i = 0; i < RECEIVE_BATCH_MAX; i++) {
        state->receive.batch[i].buffer = state->receive.buffers[i];
        state->receive.batch[i].size = sizeof state->receive.buffers[i];
    }
    return 0;
}

void run_state_free(run_state *state)
{
    for (int i = 0; i < state->watched.feed_count; i++)
        feed_close(&state->watched.feeds[i].state);
    senders_close(&state->watched.senders);
    for (int i = 0; state->watched.streams != nullptr && i < state->watched.stream_count; i++) {
        free(state->watched.streams[i].judge.ts);
        free(state->watched.streams[i].line);
    }
    free(state->watched.streams);
    free(state->watched.feeds);
    free(state->receive.receivers);
    free(state->receive.receiver_streams);
    free(state->receive.sockets);
    free(state->receive.pending);
    free(state->queries.watches);
    free(state->outputs.metric_views);
    free(state->outputs.metric_feeds);
    free(state->outputs.top);
    text_free(&state->outputs.metrics_text);
    text_free(&state->outputs.report_text);
    state->watched.streams = nullptr;
    state->watched.feeds = nullptr;
    state->receive.receivers = nullptr;
    state->receive.receiver_streams = nullptr;
    state->receive.sockets = nullptr;
    state->receive.pending = nullptr;
    state->queries.watches = nullptr;
    state->outputs.metric_views = nullptr;
    state->outputs.metric_feeds = nullptr;
    state->outputs.top = nullptr;
    state->watched.feed_count = 0;
}

int add_stream(run_state *state, const stream_settings *config, const endpoint *group,
               uint64_t at_us)
{
    if (state->watched.stream_count >= state->watched.stream_capacity)
        return -1;
    int place = state->watched.stream_count;
    stream_state *stream = &state->watched.streams[place];
    if (stream_init(stream, config, state->options) < 0)
        return -1;
    if (open_timeline(state, stream) < 0) {
        free(stream->judge.ts);
        return -1;
    }
    state->watched.stream_count++;
    stream->request.group = *group;
    stream->request.source_specific = false;
    stream->last_arrival_us = at_us;
    return place;
}
