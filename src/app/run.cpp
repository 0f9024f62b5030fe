#include "app/loop.h"
#include "app/receivers.h"

#include <stdlib.h>
#include <string.h>

#include "app/replay.h"
#include "app/top.h"
#include "app/live.h"
#include "app/config.h"
#include "base/clock.h"
#include "base/error_text.h"
#include "base/log.h"
#include "base/output.h"
#include "base/process.h"
#include "output/screen.h"
#include "net/address.h"

static void on_duration_over(void *context, uint64_t)
{
    static_cast<run_state *>(context)->stopping = true;
}

// The stall timer falls due one period after the earliest last datagram of the streams not
// stalled; a stream whose datagram came since moves it on instead.
static void on_stall_due(void *context, uint64_t now_us)
{
    run_state *state = static_cast<run_state *>(context);
    uint64_t period_us = uint64_t(state->options->stall_ms) * 1000;
    bool any = false;
    uint64_t next_us = 0;
    for (int i = 0; i < state->stream_count; i++) {
        stream_state *stream = &state->streams[i];
        if (stream->stalled)
            continue;
        if (elapsed_us(now_us, stream->last_arrival_us) >= period_us) {
            stream->stalled = true;
            event_head head = head_of(state, stream, utc_of(state, now_us));
            state->out->stall(state->out, &head, state->options->stall_ms);
            continue;
        }
        uint64_t due_us = stream->last_arrival_us + period_us;
        if (!any || due_us < next_us)
            next_us = due_us;
        any = true;
    }
    if (any)
        timer_arm(&state->stall_timer, next_us);
}

#define METRICS_PERIOD_US 1000000

// Renders the metrics, every stream's series and every feed's, and writes them to the file or
// publishes them as the page. Returns 0, or -1 after an error line.
static int write_run_metrics(run_state *state)
{
    read_all_drops(state);
    metrics_view *views = state->metric_views;
    metrics_feed *feeds = state->metric_feeds;
    for (int i = 0; i < state->stream_count; i++) {
        const stream_state *stream = &state->streams[i];
        const membership_request *request = &stream->request;
        views[i] = {&state->senders,
                    i,
                    stream->config->name,
                    stream->config->feed,
                    &request->group,
                    request->source_specific ? &request->source : nullptr,
                    stream->config->interface_name,
                    state->host_drops_counted,
                    stream->host_drops,
                    state->start_utc_us,
                    &stream->config->layout,
                    state->needs.stamps_arrivals ? &stream->judge.interarrival : nullptr,
                    stream->judge.interarrival_sum_us,
                    stream->config->have_sent_at ? &stream->judge.delays : nullptr};
    }
    for (int i = 0; i < state->feed_count; i++) {
        const feed_record *feed = &state->feeds[i];
        feeds[i] = {feed->name, &feed->state.counts, feed->state.line_count, {}};
        for (int line = 0; line < feed->state.line_count; line++)
            feeds[i].line_names[line] = state->streams[feed->lines[line]].config->name;
    }
    metrics_self self = {MCWATCH_VERSION, state->start_utc_us};
    render_metrics(&state->metrics_text, views, state->stream_count, feeds, state->feed_count,
                   state->server != nullptr ? &self : nullptr);
    if (state->options->prom_path != nullptr &&
        write_metrics_file(state->options->prom_path, &state->metrics_text) < 0)
        return -1;
    // A page that ran out of memory half-way is not served; the last whole one stays.
    if (state->server != nullptr && !state->metrics_text.failed)
        http_server_publish(state->server, state->metrics_text.data, state->metrics_text.length);
    return 0;
}

// A file that cannot be written ends the run as a failed write of standard output does.
static void on_metrics_due(void *context, uint64_t)
{
    run_state *state = static_cast<run_state *>(context);
    if (write_run_metrics(state) < 0) {
        state->failed = true;
        return;
    }
    timer_arm(&state->metrics_timer, state->metrics_timer.due_us + METRICS_PERIOD_US);
}

static void report_stream_stats(run_state *state, stream_state *stream, uint64_t at_utc_us)
{
    stats_report report = stats_take(&stream->judge.stats);
    report.have_rate = state->needs.stamps_arrivals;
    report.have_delays = stream->config->have_sent_at;
    if (state->host_drops_counted) {
        report.host_drops_counted = true;
        report.host_drops = stream->host_drops - stream->host_drops_reported;
        stream->host_drops_reported = stream->host_drops;
    }
    event_head head = head_of(state, stream, at_utc_us);
    state->out->stats(state->out, &head, &report);
    if (state->options->verbose && report.host_drops > 0)
        state->out->host_drops(state->out, &head, report.host_drops);
}

static void on_stats_due(void *context, uint64_t due_us)
{
    run_state *state = static_cast<run_state *>(context);
    if (state->host_drops_counted)
        read_all_drops(state);
    uint64_t at_utc_us = utc_of(state, due_us);
    for (int i = 0; i < state->stream_count; i++)
        report_stream_stats(state, &state->streams[i], at_utc_us);
    // The run keeps the grid: a capture's streams may be found after it began.
    state->stats_due_us += state->options->period_us;
    timer_arm(&state->stats_timer, state->stats_due_us);
}

// Feeds decide their holes as the arbitration time runs out, datagrams or none.
static uint64_t feed_period_us(const run_state *state)
{
    uint64_t period_us = state->options->arbitration_us / 8;
    return period_us < 1000 ? 1000 : period_us;
}

static void on_feed_due(void *context, uint64_t now_us)
{
    run_state *state = static_cast<run_state *>(context);
    settle_feeds(state, now_us, false);
    timer_arm(&state->feed_timer, now_us + feed_period_us(state));
}

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
    state->timers.count = 0;
    timer_add(&state->timers, &state->stats_timer, on_stats_due, state);
    timer_add(&state->timers, &state->stop_timer, on_duration_over, state);
    timer_add(&state->timers, &state->stall_timer, on_stall_due, state);
    timer_add(&state->timers, &state->metrics_timer, on_metrics_due, state);
    // A second's render may wait for the batch in hand.
    state->metrics_timer.coarse = true;
    timer_add(&state->timers, &state->top->tick, on_top_tick, state);
    state->top->tick.coarse = true;
    timer_add(&state->timers, &state->feed_timer, on_feed_due, state);
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

// A socket's drops, kept with its first stream, belong to no stream more than another: the
// verdict counts them once where any stream of the socket is judged by its own loss.
static uint64_t judged_host_drops(const run_state *state)
{
    uint64_t drops = 0;
    for (int i = 0; i < state->receiver_count; i++) {
        const receiver *r = &state->receivers[i];
        bool judged = false;
        for (int k = r->first; k < r->first + r->count; k++)
            judged = judged || state->streams[state->receiver_streams[k]].feed == nullptr;
        if (judged && r->count > 0)
            add_saturating(&drops, state->streams[state->receiver_streams[r->first]].host_drops);
    }
    return drops;
}

// The verdict of --max-lost: 1 when more numbers were lost than allowed, or when a stream
// outside any feed, or a whole feed, had nothing come (no datagram at all, as with one stream);
// 0 otherwise. A feed's loss is what no line delivered; a stream outside any feed loses what
// the network lost and what this host dropped, as surely lost to this receiver. With -v the
// verdict says why.
static int verdict_status(run_state *state)
{
    uint64_t lost = 0, received = 0;
    verdict_event event = {};
    for (int i = 0; i < state->stream_count; i++) {
        const stream_state *stream = &state->streams[i];
        sender_census census;
        track_counts total = senders_total(&state->senders, i, &census);
        add_saturating(&received, total.received);
        if (stream->feed != nullptr)
            continue;
        add_saturating(&lost, total.lost);
        if (total.received == 0 && event.silent_stream == nullptr)
            event.silent_stream = stream->config->name;
    }
    for (int i = 0; i < state->feed_count; i++) {
        const feed_counts *counts = &state->feeds[i].state.counts;
        add_saturating(&lost, counts->lost);
        if (counts->numbers == 0 && counts->missed == 0 && event.silent_feed == nullptr)
            event.silent_feed = state->feeds[i].name;
    }
    uint64_t host_drops = judged_host_drops(state);
    uint64_t judged = lost;
    add_saturating(&judged, host_drops);
    bool silent = event.silent_stream != nullptr || event.silent_feed != nullptr;
    int status = received == 0 || silent || judged > state->options->max_lost ? 1 : 0;
    if (state->options->verbose) {
        event.lost = lost;
        event.host_drops = host_drops;
        event.host_drops_counted = state->host_drops_counted;
        event.allowed = state->options->max_lost;
        event.received = received;
        event.status = status;
        event_head head = head_of(state, nullptr, utc_now(state));
        state->out->verdict(state->out, &head, &event);
        if (flush_output(state) < 0)
            return -1;
    }
    return status;
}

// Every socket needs a descriptor, beside the few the process keeps open.
#define FILES_BESIDE_SOCKETS 32

// Whether the stream may share the receiver's socket: one family and port, room for one more
// group, and none of its groups the stream's, so that a datagram's group names its stream.
// While streams are arranged, a receiver's first is its last stream, and before[] links each
// stream to the one added before it.
static bool may_share(const run_state *state, const receiver *r, const int *before,
                      const stream_state *stream, int group_limit)
{
    const stream_state *last = &state->streams[r->first];
    if (r->count >= group_limit || last->config->port != stream->config->port ||
        last->request.group.storage.ss_family != stream->request.group.storage.ss_family)
        return false;
    for (int j = r->first; j >= 0; j = before[j])
        if (same_host(&state->streams[j].request.group, &stream->request.group))
            return false;
    return true;
}

// Gives each stream a socket: one shared by up to the system's groups per socket where the
// streams allow, so that a receive takes a batch of many streams, not of one. The receivers'
// streams then lie one after another in receiver_streams, in the order of the file.
static void arrange_receivers(run_state *state)
{
    int group_limit = socket_group_limit();
    int *before = state->pending;  // free until the loop starts
    state->receiver_count = 0;
    for (int i = 0; i < state->stream_count; i++) {
        stream_state *stream = &state->streams[i];
        int chosen = -1;
        for (int r = 0; r < state->receiver_count && chosen < 0; r++)
            if (may_share(state, &state->receivers[r], before, stream, group_limit))
                chosen = r;
        if (chosen < 0) {
            chosen = state->receiver_count++;
            state->receivers[chosen] = receiver{};
            state->receivers[chosen].first = -1;
        }
        receiver *r = &state->receivers[chosen];
        before[i] = r->first;
        r->first = i;
        r->count++;
        stream->receiver = chosen;
    }
    int at = 0;
    for (int r = 0; r < state->receiver_count; r++) {
        receiver *rec = &state->receivers[r];
        int k = rec->count;
        for (int j = rec->first; j >= 0; j = before[j])
            state->receiver_streams[at + --k] = j;
        rec->first = at;
        at += rec->count;
    }
}

// Resolves every stream before any is joined, gives them their sockets, then opens those in
// order. Returns 0, or -1 after an error line, with every socket opened so far closed and
// every group joined left.
static int open_streams(run_state *state)
{
    for (int i = 0; i < state->stream_count; i++)
        if (resolve_stream(&state->streams[i]) < 0)
            return -1;
    arrange_receivers(state);
    uint64_t wanted = uint64_t(state->receiver_count) + FILES_BESIDE_SOCKETS;
    uint64_t limit = raise_open_file_limit(wanted);
    if (limit < wanted) {
        log_line(stderr, "error", "%d streams on %d sockets need %llu open files, past the "
                                  "open-file limit (RLIMIT_NOFILE, ulimit -n) of %llu",
                 state->stream_count, state->receiver_count,
                 static_cast<unsigned long long>(wanted), static_cast<unsigned long long>(limit));
        return -1;
    }
    for (int r = 0; r < state->receiver_count; r++) {
        if (open_receiver(state, &state->receivers[r]) < 0) {
            stop_receivers(state);
            return -1;
        }
    }
    if (wait_set_open(&state->waits, state->sockets, state->open_count) < 0) {
        stop_receivers(state);
        return -1;
    }
    state->waits_open = true;
    return 0;
}

// Arms the timers the options ask for, from the start.
static void arm_timers(run_state *state)
{
    const settings *options = state->options;
    if (options->period_us != 0) {
        for (int i = 0; i < state->stream_count; i++)
            stats_start(&state->streams[i].judge.stats, state->started_us);
        state->stats_due_us = state->started_us + options->period_us;
        timer_arm(&state->stats_timer, state->stats_due_us);
    }
    if (options->duration_us != 0)
        timer_arm(&state->stop_timer, state->started_us + options->duration_us);
    if (options->stall_ms != 0) {
        for (int i = 0; i < state->stream_count; i++)
            state->streams[i].last_arrival_us = state->started_us;
        timer_arm(&state->stall_timer, state->started_us + uint64_t(options->stall_ms) * 1000);
    }
    if (state->feed_count > 0)
        timer_arm(&state->feed_timer, state->started_us + feed_period_us(state));
}

// Starts, loops and stops; every path leaves and closes what it opened.
static int run_joined(run_state *state)
{
    const settings *options = state->options;
    bool capture = options->read_path != nullptr;
    net_end_waits_on_request(&summary_requested);
    if (install_interrupt_handler(on_interrupt) < 0 ||
        install_summary_handler(on_summary_request) < 0 ||
        (options->top && screen_check() < 0) ||
        (capture ? open_replay(state) : open_streams(state)) < 0) {
        if (capture)
            close_replay(state);
        return -1;
    }
    state->started_us = state->calls->monotonic_us(state->calls->context);
    state->start_utc_us = state->calls->utc_us(state->calls->context);
    // A capture's metrics are written once, at its end.
    if (renders_metrics(options) && !capture) {
        if (write_run_metrics(state) < 0) {
            stop_receivers(state);
            return -1;
        }
        timer_arm(&state->metrics_timer, state->started_us + METRICS_PERIOD_US);
    }
    // Served from here on: there is a page to answer with.
    if (state->server != nullptr)
        http_server_start(state->server);
    arm_timers(state);
    // The view takes the terminal once every group is joined, so that a failed join's line
    // is seen.
    if (options->top && top_open(state) < 0) {
        stop_receivers(state);
        return -1;
    }
    int status = receive_loop(state);
    top_close(state);
    if (capture)
        close_replay(state);
    else
        stop_receivers(state);
    // What is still open is decided now: no line can fill it any more.
    if (status == 0)
        settle_feeds(state, state->calls->monotonic_us(state->calls->context), true);
    // A capture that stopped at a fault still says what it read, and then fails.
    bool read_failed = capture && replay_failed();
    if (capture)
        report_replay_end(state);
    if (status == 0 && (state->needs.prints_summary || read_failed))
        emit_summary(state);
    if (status == 0 && renders_metrics(options) && write_run_metrics(state) < 0)
        status = -1;
    if (status == 0 && flush_output(state) < 0)
        status = -1;
    if (status == 0 && read_failed)
        status = -1;
    if (status == 0 && options->have_max_lost)
        status = verdict_status(state);
    return status;
}

// With --listen: the page's socket, listening before anything is joined, so that a port in
// use fails the run first. Returns 0, or -1 after an error line.
static int open_metrics_server(run_state *state)
{
    static http_server server;
    const settings *options = state->options;
    state->server = nullptr;
    if (options->listen_text == nullptr)
        return 0;
    endpoint address;
    int resolver_code = 0;
    if (find_host(options->listen_host, AF_UNSPEC, &address, &resolver_code) < 0) {
        log_line(stderr, "error", "Failed to listen on %s: no such address", options->listen_text);
        return -1;
    }
    endpoint_set_port(&address, options->listen_port);
    if (http_server_open(&server, &address, "/metrics") < 0) {
        int code = socket_last_error();
        char reason[256];
        socket_error_text(code, reason, sizeof reason);
        char where[ENDPOINT_TEXT_MAX];
        format_endpoint(where, &address);
        log_line(stderr, "error", "Failed to listen on %s: (%d) %s", where, code, reason);
        return -1;
    }
    state->server = &server;
    return 0;
}

static void close_metrics_server(run_state *state)
{
    if (state->server != nullptr)
        http_server_close(state->server);
    state->server = nullptr;
}

int run(const settings *options)
{
    // Static: the batch buffers are too large for a thread's stack on every platform, and
    // standard output's buffer must outlive the run, as the exit writes it out.
    static run_state state;
    static text_sink text;
    static json_sink json;
    static stream_settings command_line;
    // The pages a run works in are touched once here: the first page of each batch slot, which
    // any datagram reaches. Otherwise they are faulted in one by one as larger batches come,
    // and memory seems to grow for the first minutes of a run.
    for (int i = 0; i < RECEIVE_BATCH_MAX; i++)
        memset(state.buffers[i], 0, 4096);
    const stream_settings *streams = options->streams;
    int stream_count = options->stream_count;
    if (streams == nullptr && options->host != nullptr) {
        command_line = command_line_stream(options);
        streams = &command_line;
        stream_count = 1;
    }
    // A capture read alone finds its streams as it goes.
    bool capture = options->read_path != nullptr;
    // Whatever is sized for a config's streams holds a capture's found ones.
    static_assert(CAPTURE_STREAMS_MAX <= CONFIG_STREAMS_MAX, "a capture's streams fit a config's");
    int capacity = capture && stream_count == 0 ? CAPTURE_STREAMS_MAX : stream_count;
    // The output is chosen once; no event knows how it is rendered.
    sink *out = &text.calls;
    if (options->json) {
        json_sink_start(&json);
        out = &json.calls;
    } else {
        text_sink_start(&text, options->verbose);
    }
    static loop_calls calls;
    calls = capture ? replay_loop_calls() : live_loop_calls();
    if (run_state_init(&state, options, streams, stream_count, capacity, &calls, out) < 0)
        return -1;
    int status = net_startup();
    if (status == 0) {
        status = open_metrics_server(&state);
        if (status == 0)
            status = run_joined(&state);
        close_metrics_server(&state);
        net_cleanup();
    }
    run_state_free(&state);
    // A failed run's lines before its error are written out too (a failed write's are gone).
    if (status < 0)
        output_flush();
    restore_standard_output();
    return status;
}
