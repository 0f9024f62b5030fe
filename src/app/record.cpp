#include "app/loop.h"

#include <stdlib.h>
#include <string.h>

#include "app/timers.h"
#include "app/top.h"
#include "base/log.h"

void stream_init(stream_state *stream, const stream_settings *config, const settings *options)
{
    stream->config = config;
    stream->label = {config->name, config->feed, &config->layout};
    stream->receiver = -1;
    stream->joined = false;
    judge_start(&stream->judge, &config->layout, config->have_sent_at ? &config->sent_at : nullptr,
                options->period_us);
    stream->stalled = false;
    stream->host_drops = 0;
    stream->host_drops_reported = 0;
    stream->feed = nullptr;
    stream->fragmented = 0;
    stream->truncated = 0;
}

// Each feed named by a stream, with its lines in the file's order. Returns 0, or -1 after an
// error line.
static int make_feeds(run_state *state)
{
    state->feed_count = 0;
    for (int i = 0; i < state->stream_count; i++) {
        stream_state *stream = &state->streams[i];
        const char *name = stream->config->feed;
        if (name == nullptr)
            continue;
        feed_record *feed = nullptr;
        for (int f = 0; f < state->feed_count; f++)
            if (strcmp(state->feeds[f].name, name) == 0)
                feed = &state->feeds[f];
        if (feed == nullptr) {
            feed = &state->feeds[state->feed_count++];
            feed->name = name;
            if (feed_open(&feed->state, &stream->judge.rules, 0, state->options->arbitration_us) < 0) {
                state->feed_count--;
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
    state->out = out;
    state->stream_count = stream_count;
    state->stream_capacity = stream_capacity;
    state->open_count = 0;
    state->from_capture = false;
    state->feed_count = 0;
    state->waits_open = false;
    size_t count = static_cast<size_t>(stream_capacity);
    state->streams = static_cast<stream_state *>(calloc(count, sizeof *state->streams));
    state->feeds = static_cast<feed_record *>(calloc(count, sizeof *state->feeds));
    state->receivers = static_cast<receiver *>(calloc(count, sizeof *state->receivers));
    state->receiver_streams = static_cast<int *>(calloc(count, sizeof *state->receiver_streams));
    state->sockets = static_cast<socket_handle *>(calloc(count, sizeof *state->sockets));
    state->pending = static_cast<int *>(calloc(count, sizeof *state->pending));
    state->metric_views = static_cast<metrics_view *>(calloc(count, sizeof *state->metric_views));
    state->metric_feeds = static_cast<metrics_feed *>(calloc(count, sizeof *state->metric_feeds));
    state->top = static_cast<top_view *>(calloc(1, sizeof *state->top));
    state->receiver_count = 0;
    bool made = state->streams != nullptr && state->feeds != nullptr &&
                state->receivers != nullptr && state->receiver_streams != nullptr &&
                state->sockets != nullptr && state->pending != nullptr &&
                state->metric_views != nullptr && state->metric_feeds != nullptr &&
                state->top != nullptr;
    if (!made || senders_open(&state->senders, SENDER_IDLE_US, stream_capacity) < 0) {
        log_line(stderr, "error", "out of memory for %d streams", stream_count);
        run_state_free(state);
        return -1;
    }
    for (int i = 0; i < stream_count; i++)
        stream_init(&state->streams[i], &streams[i], options);
    if (make_feeds(state) < 0) {
        run_state_free(state);
        return -1;
    }
    add_run_timers(state);
    state->failed = false;
    state->nap_us = 0;
    state->room_bytes = 0;
    state->started_us = state->calls->monotonic_us(state->calls->context);
    state->taken = 0;
    state->stopping = false;
    state->host_drops_counted = false;
    state->needs = needs_of(options, streams, stream_count);
    state->judging = {options->check_gaps, options->per_sender, state->needs.stamps_arrivals};
    state->run_label = {nullptr, nullptr, stream_count > 0 ? &streams[0].layout : &options->layout};
    for (int i = 0; i < RECEIVE_BATCH_MAX; i++) {
        state->batch[i].buffer = state->buffers[i];
        state->batch[i].size = sizeof state->buffers[i];
    }
    return 0;
}

void run_state_free(run_state *state)
{
    for (int i = 0; i < state->feed_count; i++)
        feed_close(&state->feeds[i].state);
    senders_close(&state->senders);
    free(state->streams);
    free(state->feeds);
    free(state->receivers);
    free(state->receiver_streams);
    free(state->sockets);
    free(state->pending);
    free(state->metric_views);
    free(state->metric_feeds);
    free(state->top);
    text_free(&state->metrics_text);
    state->streams = nullptr;
    state->feeds = nullptr;
    state->receivers = nullptr;
    state->receiver_streams = nullptr;
    state->sockets = nullptr;
    state->pending = nullptr;
    state->metric_views = nullptr;
    state->metric_feeds = nullptr;
    state->top = nullptr;
    state->feed_count = 0;
}

int add_stream(run_state *state, const stream_settings *config, const endpoint *group,
               uint64_t at_us)
{
    if (state->stream_count >= state->stream_capacity)
        return -1;
    int place = state->stream_count++;
    stream_state *stream = &state->streams[place];
    stream_init(stream, config, state->options);
    stream->request.group = *group;
    stream->request.source_specific = false;
    stream->last_arrival_us = at_us;
    return place;
}
