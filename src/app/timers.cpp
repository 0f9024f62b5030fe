#include "app/timers.h"

#include <stdio.h>
#include <string.h>

#include "app/publish.h"
#include "app/receivers.h"
#include "app/top.h"
#include "base/log.h"
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
    for (int i = 0; i < state->watched.stream_count; i++) {
        stream_state *stream = &state->watched.streams[i];
        if (stream->stalled)
            continue;
        if (elapsed_us(now_us, stream->last_arrival_us) >= period_us) {
            stream->stalled = true;
            event_head head = head_of(state, stream, utc_of(state, now_us));
            state->outputs.out->stall(state->outputs.out, &head, state->options->stall_ms);
            continue;
        }
        uint64_t due_us = stream->last_arrival_us + period_us;
        if (!any || due_us < next_us)
            next_us = due_us;
        any = true;
    }
    if (any)
        timer_arm(&state->timing.stall_timer, next_us);
}

// The interface a stream joins by name was made again with this index: its joins move there,
// and so does the watch for that interface's queries (the other streams on it move at their own
// rejoins, each leaving where it joined).
static void follow_interface(run_state *state, stream_state *stream, uint32_t index)
{
    uint32_t old_index = stream->request.interface_index;
    stream->request.interface_index = index;
    for (int w = 0; w < state->queries.watch_count; w++) {
        query_watch *watch = &state->queries.watches[w];
        if (watch->interface_index == old_index && watch->interface_name != nullptr &&
            strcmp(watch->interface_name, stream->config->interface_name) == 0)
            watch->interface_index = index;
    }
}

// Leaves and joins again a stream silent since its join or last datagram; a join that fails
// (after its error line) is tried again after as long a silence, with nothing to leave.
static void rejoin_stream(run_state *state, stream_state *stream, uint64_t due_us)
{
    uint64_t silent_us = state->options->rejoin_us;
    socket_handle s = state->receive.receivers[stream->receiver].socket;
    void *context = state->calls->context;
    membership_request left = stream->request;
    // An interface deleted and made again under its name has a new index, and a join on the
    // old one would fail for the rest of the run; one absent now keeps the old (its join fails
    // and is tried again).
    if (stream->config->interface_by_name) {
        uint32_t index = state->calls->find_interface(context, stream->config->interface_name);
        if (index != 0)
            follow_interface(state, stream, index);
    }
    join_started(&stream->join, state->calls->monotonic_us(context));
    const membership_request *to_leave = stream->joined ? &left : nullptr;
    stream->joined = state->calls->rejoin(context, s, to_leave, &stream->request) == 0;
    if (!stream->joined) {
        char group[HOST_TEXT_MAX];
        format_host(group, &stream->request.group);
        const char *name = stream->config->name;
        log_line(stderr, "error", "Joining %s again failed%s%s: it is tried again after as long",
                 group, name != nullptr ? " on " : "", name != nullptr ? name : "");
        return;
    }
    stream->join.rejoins++;
    rejoin_event event = {&stream->request.group, silent_us};
    event_head head = head_of(state, stream, utc_of(state, due_us));
    state->outputs.out->rejoined(state->outputs.out, &head, &event);
}

// The rejoin timer falls due at the earliest of the streams' silences; a stream whose
// datagram came since moves it on.
static void on_rejoin_due(void *context, uint64_t now_us)
{
    run_state *state = static_cast<run_state *>(context);
    uint64_t silence_us = state->options->rejoin_us;
    uint64_t next_us = UINT64_MAX;
    for (int i = 0; i < state->watched.stream_count; i++) {
        stream_state *stream = &state->watched.streams[i];
        if (!stream->join.timed)
            continue;
        uint64_t due_us = rejoin_due_us(&stream->join, stream->last_arrival_us, silence_us);
        if (due_us <= now_us) {
            rejoin_stream(state, stream, due_us);
            due_us = rejoin_due_us(&stream->join, stream->last_arrival_us, silence_us);
        }
        if (due_us < next_us)
            next_us = due_us;
    }
    if (next_us != UINT64_MAX)
        timer_arm(&state->timing.rejoin_timer, next_us);
}

void arm_query_timer(run_state *state)
{
    uint64_t next_us = UINT64_MAX;
    for (int i = 0; i < state->queries.watch_count; i++) {
        query_watch *watch = &state->queries.watches[i];
        uint64_t due_us = watch->warned ? UINT64_MAX : watch->since_us + state->options->querier_timeout_us;
        if (due_us < next_us)
            next_us = due_us;
    }
    if (next_us != UINT64_MAX)
        timer_arm(&state->timing.query_timer, next_us);
    else
        state->timing.query_timer.armed = false;
}

// Each interface whose silence reached the timeout is said once, until a query answers it.
static void on_query_watch_due(void *context, uint64_t now_us)
{
    run_state *state = static_cast<run_state *>(context);
    for (int i = 0; i < state->queries.watch_count; i++) {
        query_watch *watch = &state->queries.watches[i];
        uint64_t next_us;
        if (query_watch_due(watch, now_us, state->options->querier_timeout_us, &next_us) == 0)
            continue;
        event_head head = head_of(state, nullptr, utc_of(state, now_us));
        state->outputs.out->no_query(state->outputs.out, &head, watch->interface_name,
                                     state->options->querier_timeout_us);
    }
    arm_query_timer(state);
}

// A file that cannot be written ends the run as a failed write of standard output does.
static void on_metrics_due(void *context, uint64_t)
{
    run_state *state = static_cast<run_state *>(context);
    if (write_run_metrics(state) < 0) {
        state->failed = true;
        return;
    }
    publish_run_report(state);
    timer_arm(&state->timing.metrics_timer, state->timing.metrics_timer.due_us + METRICS_PERIOD_US);
}

static void report_stream_stats(run_state *state, stream_state *stream, uint64_t at_utc_us)
{
    stats_report report = stats_take(&stream->judge.stats);
    report.have_rate = state->needs.stamps_arrivals;
    report.have_delays = stream->config->have_sent_at;
    if (state->receive.host_drops_counted) {
        report.host_drops_counted = true;
        report.host_drops = stream->host_drops - stream->host_drops_reported;
        stream->host_drops_reported = stream->host_drops;
    }
    event_head head = head_of(state, stream, at_utc_us);
    state->outputs.out->stats(state->outputs.out, &head, &report);
    if (state->options->verbose && report.host_drops > 0)
        state->outputs.out->host_drops(state->outputs.out, &head, report.host_drops);
}

// -v: how far each line of the feed ran behind the others in the period.
static void report_feed_period(run_state *state, feed_record *feed, uint64_t at_utc_us)
{
    feed_state *lines = &feed->state;
    histogram behind[FEED_LINES_MAX];
    uint64_t beyond[FEED_LINES_MAX];
    feed_period_event event = {feed->name, lines->line_count, {}, behind, beyond,
                               lines->max_skew_us != FEED_NO_MAX_SKEW};
    for (int line = 0; line < lines->line_count; line++) {
        feed_behind_period(lines, line, &feed->period_from[line], &behind[line]);
        beyond[line] = lines->counts.beyond[line] - feed->beyond_from[line];
        feed->beyond_from[line] = lines->counts.beyond[line];
        event.line_names[line] = state->watched.streams[feed->lines[line]].config->name;
    }
    event_head head = head_of(state, nullptr, at_utc_us);
    state->outputs.out->feed_period(state->outputs.out, &head, &event);
}

static void on_stats_due(void *context, uint64_t due_us)
{
    run_state *state = static_cast<run_state *>(context);
    if (state->receive.host_drops_counted)
        read_all_drops(state);
    uint64_t at_utc_us = utc_of(state, due_us);
    for (int i = 0; i < state->watched.stream_count; i++)
        report_stream_stats(state, &state->watched.streams[i], at_utc_us);
    for (int i = 0; i < state->watched.feed_count && state->options->verbose &&
                    state->outputs.out->feed_period != nullptr; i++)
        report_feed_period(state, &state->watched.feeds[i], at_utc_us);
    // The run keeps the grid: a capture's streams may be found after it began.
    state->timing.stats_due_us += state->options->period_us;
    timer_arm(&state->timing.stats_timer, state->timing.stats_due_us);
}

// Feeds decide their holes as the arbitration time runs out, datagrams or none.
static uint64_t feed_period_us(const run_state *state)
{
    uint64_t period_us = state->options->arbitration_us / 8;
    return period_us < 1000 ? 1000 : period_us;
}

// Whether a feed may still decide something within a period of the timer. Past that a quiet run
// need not wake until the next datagram arms the timer again.
static bool feeds_may_decide(const run_state *state, uint64_t now_us)
{
    for (int i = 0; i < state->watched.feed_count; i++)
        if (feed_may_decide(&state->watched.feeds[i].state, now_us, feed_period_us(state)))
            return true;
    return false;
}

static void on_feed_due(void *context, uint64_t now_us)
{
    run_state *state = static_cast<run_state *>(context);
    settle_feeds(state, now_us, false);
    if (feeds_may_decide(state, now_us))
        timer_arm(&state->timing.feed_timer, now_us + feed_period_us(state));
}

void arm_feed_timer(run_state *state, uint64_t at_us)
{
    if (!state->timing.feed_timer.armed)
        timer_arm(&state->timing.feed_timer, at_us + feed_period_us(state));
}

// Arms the timers the options ask for, from the start.
void arm_timers(run_state *state)
{
    const settings *options = state->options;
    if (options->period_us != 0) {
        for (int i = 0; i < state->watched.stream_count; i++)
            stats_start(&state->watched.streams[i].judge.stats, state->started_us);
        state->timing.stats_due_us = state->started_us + options->period_us;
        timer_arm(&state->timing.stats_timer, state->timing.stats_due_us);
    }
    if (options->duration_us != 0)
        timer_arm(&state->timing.stop_timer, state->started_us + options->duration_us);
    if (options->stall_ms != 0 || options->rejoin_us != 0)
        for (int i = 0; i < state->watched.stream_count; i++)
            state->watched.streams[i].last_arrival_us = state->started_us;
    if (options->stall_ms != 0)
        timer_arm(&state->timing.stall_timer, state->started_us + uint64_t(options->stall_ms) * 1000);
    if (options->rejoin_us != 0)
        timer_arm(&state->timing.rejoin_timer, state->started_us + options->rejoin_us);
    if (state->watched.feed_count > 0)
        timer_arm(&state->timing.feed_timer, state->started_us + feed_period_us(state));
    watch_joined_interfaces(state, state->started_us);
    arm_query_timer(state);
}

void add_run_timers(run_state *state)
{
    state->timing.timers.count = 0;
    timer_add(&state->timing.timers, &state->timing.stats_timer, on_stats_due, state);
    timer_add(&state->timing.timers, &state->timing.stop_timer, on_duration_over, state);
    timer_add(&state->timing.timers, &state->timing.stall_timer, on_stall_due, state);
    timer_add(&state->timing.timers, &state->timing.metrics_timer, on_metrics_due, state);
    // A second's render may wait for the batch in hand.
    state->timing.metrics_timer.coarse = true;
    timer_add(&state->timing.timers, &state->outputs.top->tick, on_top_tick, state);
    state->outputs.top->tick.coarse = true;
    timer_add(&state->timing.timers, &state->timing.feed_timer, on_feed_due, state);
    timer_add(&state->timing.timers, &state->timing.query_timer, on_query_watch_due, state);
    timer_add(&state->timing.timers, &state->timing.rejoin_timer, on_rejoin_due, state);
}
