#include "app/loop.h"
#include "app/receivers.h"

#include <stdlib.h>
#include <string.h>

#include "app/publish.h"
#include "app/replay.h"
#include "app/timers.h"
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

// The verdict of --max-lost, said with -v: 1 or 0 as verdict_of finds, or -1 after an error
// line (a failed write).
static int verdict_status(run_state *state)
{
    verdict_event event;
    verdict_of(state, &event);
    if (state->options->verbose) {
        event_head head = head_of(state, nullptr, utc_now(state));
        state->outputs.out->verdict(state->outputs.out, &head, &event);
        if (flush_output(state) < 0)
            return -1;
    }
    return event.status;
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
    const stream_state *last = &state->watched.streams[r->first];
    if (r->count >= group_limit || last->config->port != stream->config->port ||
        last->request.group.storage.ss_family != stream->request.group.storage.ss_family)
        return false;
    for (int j = r->first; j >= 0; j = before[j])
        if (same_host(&state->watched.streams[j].request.group, &stream->request.group))
            return false;
    return true;
}

// Gives each stream a socket: one shared by up to the system's groups per socket where the
// streams allow, so that a receive takes a batch of many streams, not of one. The receivers'
// streams then lie one after another in receiver_streams, in the order of the file.
static void arrange_receivers(run_state *state)
{
    int group_limit = socket_group_limit();
    int *before = state->receive.pending;  // free until the loop starts
    state->receive.receiver_count = 0;
    for (int i = 0; i < state->watched.stream_count; i++) {
        stream_state *stream = &state->watched.streams[i];
        int chosen = -1;
        for (int r = 0; r < state->receive.receiver_count && chosen < 0; r++)
            if (may_share(state, &state->receive.receivers[r], before, stream, group_limit))
                chosen = r;
        if (chosen < 0) {
            chosen = state->receive.receiver_count++;
            state->receive.receivers[chosen] = receiver{};
            state->receive.receivers[chosen].first = -1;
        }
        receiver *r = &state->receive.receivers[chosen];
        before[i] = r->first;
        r->first = i;
        r->count++;
        stream->receiver = chosen;
    }
    int at = 0;
    for (int r = 0; r < state->receive.receiver_count; r++) {
        receiver *rec = &state->receive.receivers[r];
        int k = rec->count;
        for (int j = rec->first; j >= 0; j = before[j])
            state->receive.receiver_streams[at + --k] = j;
        rec->first = at;
        at += rec->count;
    }
}

// Resolves every stream before any is joined, gives them their sockets, then opens those in
// order. Returns 0, or -1 after an error line, with every socket opened so far closed and
// every group joined left.
static int open_streams(run_state *state)
{
    for (int i = 0; i < state->watched.stream_count; i++)
        if (resolve_stream(&state->watched.streams[i]) < 0)
            return -1;
    arrange_receivers(state);
    uint64_t wanted = uint64_t(state->receive.receiver_count) + FILES_BESIDE_SOCKETS;
    uint64_t limit = raise_open_file_limit(wanted);
    if (limit < wanted) {
        log_line(stderr, "error", "%d streams on %d sockets need %llu open files, past the "
                                  "open-file limit (RLIMIT_NOFILE, ulimit -n) of %llu",
                 state->watched.stream_count, state->receive.receiver_count,
                 static_cast<unsigned long long>(wanted), static_cast<unsigned long long>(limit));
        return -1;
    }
    for (int r = 0; r < state->receive.receiver_count; r++) {
        if (open_receiver(state, &state->receive.receivers[r]) < 0) {
            stop_receivers(state);
            return -1;
        }
    }
    open_query_sockets(state);
    if (wait_set_open(&state->receive.waits, state->receive.sockets, waited_count(state)) < 0) {
        stop_receivers(state);
        return -1;
    }
    state->receive.waits_open = true;
    return 0;
}

// Starts, loops and stops; every path leaves and closes what it opened.
static int run_joined(run_state *state, replay_reader *replay)
{
    const settings *options = state->options;
    bool capture = options->read_path != nullptr;
    net_end_waits_on_request(&summary_requested);
    if (install_interrupt_handler(on_interrupt) < 0 ||
        install_summary_handler(on_summary_request) < 0 ||
        (options->top && screen_check() < 0) ||
        (capture ? open_replay(replay, state) : open_streams(state)) < 0) {
        if (capture)
            close_replay(replay, state);
        return -1;
    }
    state->started_us = state->calls->monotonic_us(state->calls->context);
    state->start_utc_us = state->calls->utc_us(state->calls->context);
    start_timelines(state);
    // A capture's metrics are written once, at its end.
    if (renders_metrics(options) && !capture) {
        if (write_run_metrics(state) < 0) {
            stop_receivers(state);
            return -1;
        }
        timer_arm(&state->timing.metrics_timer, state->started_us + METRICS_PERIOD_US);
    }
    // Served from here on: there is a page to answer with. The run publishes every
    // METRICS_PERIOD_US; a page ten periods old means the loop is held up.
    if (state->outputs.server != nullptr) {
        http_server_expect_pages(state->outputs.server, METRICS_STALE_US);
        http_server_start(state->outputs.server);
    }
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
        close_replay(replay, state);
    else
        stop_receivers(state);
    // What is still open is decided now: no line can fill it any more.
    if (status == 0)
        settle_feeds(state, state->calls->monotonic_us(state->calls->context), true);
    // A capture that stopped at a fault still says what it read, and then fails.
    bool read_failed = capture && replay_failed(replay);
    if (capture)
        report_replay_end(replay, state);
    if (status == 0 && (state->needs.prints_summary || read_failed))
        emit_summary(state);
    if (status == 0 && renders_metrics(options) && write_run_metrics(state) < 0)
        status = -1;
    if (status == 0 && flush_output(state) < 0)
        status = -1;
    // The report of a capture cut short is of what was read, and says where it stopped.
    char cut[REPLAY_STOP_TEXT_MAX] = "";
    if (status == 0 && read_failed) {
        replay_stop_text(replay, cut, sizeof cut);
        status = -1;
    }
    if (status == 0 && options->have_max_lost)
        status = verdict_status(state);
    bool reported = status >= 0 || cut[0] != '\0';
    if (reported && options->report_path != nullptr &&
        write_run_report(state, status >= 0 ? status : 255, cut[0] != '\0' ? cut : nullptr) < 0)
        status = -1;
    return status;
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
        memset(state.receive.buffers[i], 0, 4096);
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
        text.says_no_query = options->verbose || options->querier_timeout_given;
    }
    replay_reader *replay = nullptr;
    if (capture && (replay = replay_make()) == nullptr)
        return -1;
    static loop_calls calls;
    calls = capture ? replay_loop_calls(replay) : live_loop_calls();
    if (run_state_init(&state, options, streams, stream_count, capacity, &calls, out) < 0) {
        replay_free(replay);
        return -1;
    }
    int status = net_startup();
    if (status == 0) {
        status = open_metrics_server(&state);
        if (status == 0)
            status = run_joined(&state, replay);
        close_metrics_server(&state);
        net_cleanup();
    }
    run_state_free(&state);
    replay_free(replay);
    // A failed run's lines before its error are written out too (a failed write's are gone).
    if (status < 0)
        output_flush();
    restore_standard_output();
    return status;
}
