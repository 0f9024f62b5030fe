#include "app/loop.h"
#include "app/receivers.h"

#include <string.h>

#include "base/clock.h"
#include "base/output.h"
#include "base/process.h"

static void on_duration_over(void *context)
{
    static_cast<run_state *>(context)->stopping = true;
}

// The stall timer falls due one period after the last datagram it knows of; a datagram that
// came since moves it on instead.
static void on_stall_due(void *context)
{
    run_state *state = static_cast<run_state *>(context);
    uint64_t period_us = uint64_t(state->options->stall_ms) * 1000;
    uint64_t now_us = state->calls->monotonic_us();
    if (elapsed_us(now_us, state->last_arrival_us) < period_us) {
        timer_arm(&state->stall_timer, state->last_arrival_us + period_us);
        return;
    }
    state->stalled = true;
    state->out->stall(state->out, state->options->stall_ms);
}

#define METRICS_PERIOD_US 1000000

// Writes the metrics file. Returns 0, or -1 after an error line.
static int write_run_metrics(run_state *state)
{
    read_all_drops(state);
    const membership_request *request = &state->receivers[0].request;
    metrics_view view = {&state->senders,
                         &request->group,
                         request->source_specific ? &request->source : nullptr,
                         state->options->interface_name,
                         state->host_drops_counted,
                         state->host_drops,
                         state->start_utc_us,
                         &state->options->layout,
                         state->stamps_arrivals ? &state->interarrival : nullptr,
                         state->interarrival_sum_us,
                         state->options->have_sent_at ? &state->delays : nullptr};
    return write_metrics(state->options->prom_path, &view);
}

// A file that cannot be written ends the run as a failed write of standard output does.
static void on_metrics_due(void *context)
{
    run_state *state = static_cast<run_state *>(context);
    if (write_run_metrics(state) < 0) {
        state->failed = true;
        return;
    }
    timer_arm(&state->metrics_timer, state->metrics_timer.due_us + METRICS_PERIOD_US);
}

static void on_stats_due(void *context)
{
    run_state *state = static_cast<run_state *>(context);
    stats_report report = stats_take(&state->stats);
    report.have_rate = state->stamps_arrivals;
    report.have_delays = state->options->have_sent_at;
    if (state->host_drops_counted) {
        read_all_drops(state);
        report.host_drops_counted = true;
        report.host_drops = state->host_drops - state->host_drops_reported;
        state->host_drops_reported = state->host_drops;
    }
    state->out->stats(state->out, &report);
    if (state->options->verbose && report.host_drops > 0)
        state->out->host_drops(state->out, report.host_drops);
    timer_arm(&state->stats_timer, state->stats.due_us);
}

void run_state_init(run_state *state, const settings *options, const loop_calls *calls,
                    sink *out)
{
    state->options = options;
    state->calls = calls;
    state->out = out;
    state->receiver_count = 0;
    state->timers.count = 0;
    timer_add(&state->timers, &state->stats_timer, on_stats_due, state);
    timer_add(&state->timers, &state->stop_timer, on_duration_over, state);
    timer_add(&state->timers, &state->stall_timer, on_stall_due, state);
    timer_add(&state->timers, &state->metrics_timer, on_metrics_due, state);
    state->failed = false;
    state->nap_us = 0;
    state->started_us = state->calls->monotonic_us();
    state->taken = 0;
    state->stopping = false;
    state->host_drops_counted = false;
    state->host_drops = 0;
    state->host_drops_reported = 0;
    state->stalled = false;
    state->stamps_arrivals = false;
    state->last_arrival_utc_us = 0;
    histogram_clear(&state->interarrival);
    state->interarrival_sum_us = 0;
    delay_clear(&state->delays);
    state->stats = stats_record{};
    state->stats.period_us = options->period_us;
    state->last_seq = NO_SEQUENCE;
    state->rules = rules_for_layout(&options->layout);
    state->have_next = false;
    state->next_seq = 0;
    senders_clear(&state->senders, SENDER_IDLE_US);
    for (int i = 0; i < RECEIVE_BATCH_MAX; i++) {
        state->batch[i].buffer = state->buffers[i];
        state->batch[i].size = sizeof state->buffers[i];
    }
}

// The verdict of --max-lost: 1 when more numbers were lost than allowed, or when no datagram
// came at all; 0 otherwise. A datagram this host dropped is lost to this receiver as surely as
// one the network lost, so both count. With -v the verdict says why.
static int verdict_status(run_state *state)
{
    sender_census census;
    track_counts total = senders_total(&state->senders, &census);
    uint64_t lost = total.lost;
    add_saturating(&lost, state->host_drops);
    int status = total.received == 0 || lost > state->options->max_lost ? 1 : 0;
    if (state->options->verbose) {
        verdict_event event = {total.lost, state->host_drops, state->host_drops_counted,
                               state->options->max_lost, total.received, status};
        state->out->verdict(state->out, &event);
        if (flush_output(state) < 0)
            return -1;
    }
    return status;
}

// Starts, loops and stops; every path leaves and closes what it opened.
static int run_joined(run_state *state)
{
    const settings *options = state->options;
    if (install_interrupt_handler(on_interrupt) < 0 ||
        install_summary_handler(on_summary_request) < 0 || open_receiver(state) < 0)
        return -1;
    state->started_us = state->calls->monotonic_us();
    state->start_utc_us = state->calls->utc_us();
    if (options->prom_path != nullptr) {
        if (write_run_metrics(state) < 0) {
            stop_receivers(state);
            return -1;
        }
        timer_arm(&state->metrics_timer, state->started_us + METRICS_PERIOD_US);
    }
    if (state->stats.period_us != 0) {
        stats_start(&state->stats, state->started_us);
        timer_arm(&state->stats_timer, state->stats.due_us);
    }
    if (options->duration_us != 0)
        timer_arm(&state->stop_timer, state->started_us + options->duration_us);
    if (options->stall_ms != 0) {
        state->last_arrival_us = state->started_us;
        timer_arm(&state->stall_timer, state->started_us + uint64_t(options->stall_ms) * 1000);
    }
    int status = receive_loop(state);
    stop_receivers(state);
    if (status == 0 && (options->verbose || options->summary || options->json))
        emit_summary(state);
    if (status == 0 && options->prom_path != nullptr && write_run_metrics(state) < 0)
        status = -1;
    if (status == 0 && flush_output(state) < 0)
        status = -1;
    if (status == 0 && options->have_max_lost)
        status = verdict_status(state);
    return status;
}

const loop_calls system_loop_calls = {.receive_many = socket_receive_many,
                                      .wait = socket_wait,
                                      .nap = socket_nap,
                                      .nap_us = busy_nap_us,
                                      .monotonic_us = clock_monotonic_us,
                                      .utc_us = clock_utc_us,
                                      .read_drops = socket_read_drops};

int run(const settings *options)
{
    // Static: the batch buffers are too large for a thread's stack on every platform, and
    // standard output's buffer must outlive the run, as the exit writes it out.
    static run_state state;
    static text_sink text;
    static json_sink json;
    // The pages a run works in are touched once here: the first page of each batch slot, which
    // any datagram reaches. Otherwise they are faulted in one by one as larger batches come,
    // and memory seems to grow for the first minutes of a run.
    for (int i = 0; i < RECEIVE_BATCH_MAX; i++)
        memset(state.buffers[i], 0, 4096);
    // The output is chosen once; no event knows how it is rendered.
    sink *out = &text.calls;
    if (options->json) {
        json_sink_start(&json, &options->layout);
        out = &json.calls;
    } else {
        text_sink_start(&text, options->verbose, &options->layout);
    }
    run_state_init(&state, options, &system_loop_calls, out);
    if (net_startup() < 0)
        return -1;
    int status = run_joined(&state);
    net_cleanup();
    // A failed run's lines before its error are written out too (a failed write's are gone).
    if (status < 0)
        output_flush();
    restore_standard_output();
    return status;
}
