#include "app/loop.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "base/process.h"
#include "base/clock.h"
#include "base/error_text.h"
#include "base/log.h"
#include "base/output.h"
#include "net/address.h"

// Read by the loop once per datagram: under a steady stream the loop may not wait for a long
// time, and the wait is where the other sign of an interrupt shows.
volatile sig_atomic_t interrupted = 0;

void on_interrupt(int)
{
    interrupted = 1;
    release_standard_output();
    net_interrupt();
}

volatile sig_atomic_t summary_requested = 0;

void on_summary_request(int)
{
    summary_requested = 1;
}

// The clock is read only where a timer is armed, which keeps the per-datagram path cheap.
static void run_due_timers(run_state *state)
{
    if (timers_armed(&state->timers))
        timers_fire_due(&state->timers, state->calls->monotonic_us());
}

static void on_duration_over(void *context)
{
    static_cast<run_state *>(context)->stopping = true;
}

// Adds what a receiver's queue dropped since its count was last read.
static void count_drops(run_state *state, receiver *from_receiver, uint32_t count)
{
    uint32_t rise = count - from_receiver->drop_count;
    if (rise < (uint32_t(1) << 31)) {
        state->host_drops += rise;
        from_receiver->drop_count = count;
    }
}

// The drop counts come with datagrams, so a drop after the last one shows only when the count
// is read outright, as it is before every report.
static void read_all_drops(run_state *state)
{
    for (int i = 0; i < state->receiver_count; i++) {
        uint32_t count;
        receiver *r = &state->receivers[i];
        if (r->drops_counted && state->calls->read_drops(r->socket, &count))
            count_drops(state, r, count);
    }
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
                         &state->options->layout};
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

static void note_arrival(run_state *state)
{
    uint64_t now_us = state->calls->monotonic_us();
    if (state->stalled) {
        state->stalled = false;
        state->out->resume(state->out, elapsed_us(now_us, state->last_arrival_us) / 1000);
        timer_arm(&state->stall_timer, now_us + uint64_t(state->options->stall_ms) * 1000);
    }
    state->last_arrival_us = now_us;
}

static void on_stats_due(void *context)
{
    run_state *state = static_cast<run_state *>(context);
    stats_report report = stats_take(&state->stats);
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

// Writes out what the sink holds. After an interrupt a reader may be slow, and is waited for
// while it reads; one that reads nothing for a while fails the run, which says so rather than
// end with lines missing. Returns 0, or -1 after an error line.
static int flush_output(run_state *state)
{
    int code = state->out->flush(state->out);
    if (code == 0)
        return 0;
    if (code == ETIMEDOUT)
        log_line(stderr, "error", "write failed: standard output was not read for %d s",
                 OUTPUT_STALL_LIMIT_US / 1000000);
    else
        report_c_error("write failed", code);
    return -1;
}

// The -g check: against the previous datagram of any sender, or with --per-sender of the same
// sender; the gap, if any, is counted and handed to the sink, and with -v what the datagram
// was for its sender after an extra one.
static void check_gap(run_state *state, const sender_entry *sender,
                      const received_datagram *datagram, const seq_reading *reading,
                      seq_class kind)
{
    const settings *options = state->options;
    int64_t seq = reading->seq;
    gap_event gap = {&datagram->from, {GAP_NONE, 0, 0, 0, 0}, options->per_sender, kind};
    if (options->layout.given)
        gap.gap = options->per_sender
                      ? find_layout_gap(&state->rules, seq, reading->count, sender->have_last,
                                        sender->next_seq)
                      : find_layout_gap(&state->rules, seq, reading->count, state->have_next,
                                        state->next_seq);
    else
        gap.gap = options->per_sender ? find_gap_after(seq, sender->have_last, sender->last_seq)
                                      : find_gap(seq, state->last_seq);
    if (gap.gap.kind == GAP_NONE)
        return;
    state->stats.gaps += gap.gap.missed;
    add_saturating(&state->stats.gap_numbers, gap.gap.numbers);
    state->out->gap(state->out, &gap);
    if (options->verbose && gap.gap.kind == GAP_EXTRA) {
        class_event event = {&datagram->from, seq, kind};
        state->out->classified(state->out, &event);
    }
}

// Counts the datagram, checks its number and hands both to the sink. A datagram too short for
// a given layout is counted and shown, never judged.
static void take_datagram(run_state *state, const receiver *from_receiver,
                          const received_datagram *datagram)
{
    const settings *options = state->options;
    seq_reading reading = read_layout(&options->layout, datagram->buffer,
                                      static_cast<size_t>(datagram->length_bytes));
    const unsigned char *session =
        options->layout.session && !reading.too_short ? datagram->buffer : nullptr;
    sender_entry *sender =
        find_sender(&state->senders, &datagram->from, session, &state->rules, state->batch_us);
    seq_class kind = SEQ_SHORT;
    if (reading.too_short)
        track_short(&sender->track, datagram->length_bytes);
    else
        kind = track(&sender->track, reading.seq, reading.count, datagram->length_bytes);
    state->stats.packets++;
    if (options->stall_ms != 0)
        note_arrival(state);
    sender->last_utc_us = state->batch_utc_us;
    if (options->check_gaps && !reading.too_short)
        check_gap(state, sender, datagram, &reading, kind);
    if (!options->quiet) {
        datagram_event event = {&datagram->from, &from_receiver->request.group,
                                datagram->length_bytes, reading.seq, reading.count, kind};
        state->out->datagram(state->out, &event);
    }
    if (!reading.too_short) {
        state->last_seq = reading.seq;
        sender->have_last = true;
        sender->last_seq = reading.seq;
        if (options->layout.given) {
            state->have_next = true;
            state->next_seq = next_expected(&state->rules, reading.seq, reading.count);
            sender->next_seq = state->next_seq;
        }
    }
    if (++state->taken == options->count_max)
        state->stopping = true;
}

// Where the run does not count drops as they come (no summary was asked for), a summary asked
// for on the way reads each socket's count outright: it counts from the socket's start.
static bool read_drops_outright(run_state *state, uint64_t *drops)
{
    *drops = 0;
    for (int i = 0; i < state->receiver_count; i++) {
        uint32_t count;
        if (!state->calls->read_drops(state->receivers[i].socket, &count))
            return false;
        *drops += count;
    }
    return state->receiver_count > 0;
}

static void emit_summary(run_state *state)
{
    read_all_drops(state);
    summary_event event = {&state->senders,
                           elapsed_us(state->calls->monotonic_us(), state->started_us),
                           state->host_drops_counted, state->host_drops};
    if (!state->host_drops_counted)
        event.host_drops_counted = read_drops_outright(state, &event.host_drops);
    state->out->summary(state->out, &event);
}

static bool all_queues_empty(const run_state *state)
{
    for (int i = 0; i < state->receiver_count; i++)
        if (!state->receivers[i].queue_empty)
            return false;
    return true;
}

// Writes out every line printed so far, then waits for a datagram on any receiver or for the
// next timer. Returns 1 when the receive that follows may wait itself (one receiver and no
// timer armed), 0 after the wait, or -1 after an error line.
static int wait_for_more(run_state *state)
{
    if (flush_output(state) < 0)
        return -1;
    socket_handle sockets[RECEIVERS_MAX];
    for (int i = 0; i < state->receiver_count; i++) {
        state->receivers[i].queue_empty = false;
        sockets[i] = state->receivers[i].socket;
    }
    int64_t limit_us = timers_wait_limit_us(&state->timers, state->calls->monotonic_us());
    if (limit_us < 0 && state->receiver_count == 1)
        return 1;
    if (state->calls->wait(sockets, state->receiver_count, limit_us) == -1 && !interrupted) {
        report_socket_error("select failed");
        return -1;
    }
    run_due_timers(state);
    return 0;
}

// After a busy drain: writes out what was printed, naps briefly instead of waiting, and takes
// what queued meanwhile without waiting. A stream that has gone quiet shows it by a single
// datagram, and the loop waits again. Returns 0, or -1 after an error line.
static int nap_while_busy(run_state *state)
{
    int64_t nap_us = state->nap_us;
    state->nap_us = 0;
    if (flush_output(state) < 0)
        return -1;
    state->calls->nap(nap_us);
    for (int i = 0; i < state->receiver_count; i++)
        state->receivers[i].queue_empty = false;
    run_due_timers(state);
    return 0;
}

// Once a receiver's queue is found empty: how long the loop may nap before it looks again,
// from how fast the queue filled since it was last empty. The shortest nap of the receivers
// drained in a round is the one taken.
static void plan_nap(run_state *state, receiver *drained)
{
    uint64_t now_us = state->calls->monotonic_us();
    nap_rule rule = {state->calls->nap_us, RECEIVE_BATCH_MAX, drained->room_bytes};
    int64_t queued_us = static_cast<int64_t>(elapsed_us(now_us, drained->emptied_us));
    int64_t nap_us =
        nap_after_drain_us(&rule, drained->queued_count, drained->queued_bytes, queued_us);
    if (nap_us > 0 && (state->nap_us == 0 || nap_us < state->nap_us))
        state->nap_us = nap_us;
    drained->emptied_us = now_us;
    drained->queued_count = 0;
    drained->queued_bytes = 0;
}

// Takes one batch from a receiver; a batch that comes back short shows its queue empty, so no
// call is spent to find that out. Returns 0, or -1 after an error line.
static int receive_batch(run_state *state, receiver *from_receiver, bool wait)
{
    int count = state->calls->receive_many(from_receiver->socket, state->batch,
                                           RECEIVE_BATCH_MAX, wait);
    if (count == RECEIVE_WOULD_BLOCK || count == WAIT_ENDED_EARLY) {
        from_receiver->queue_empty = true;
        plan_nap(state, from_receiver);
        return 0;
    }
    if (count < 0) {
        if (interrupted)
            return 0;
        report_socket_error("recv failed");
        return -1;
    }
    if (count > 0)
        state->batch_us = state->calls->monotonic_us();
    if (state->options->prom_path != nullptr && count > 0)
        state->batch_utc_us = state->calls->utc_us();
    from_receiver->queued_count += count;
    // The flag is looked at before each datagram: what an interrupt leaves behind in the
    // batch is not a datagram.
    for (int i = 0; i < count && !interrupted && !state->stopping; i++) {
        const received_datagram *datagram = &state->batch[i];
        from_receiver->queued_bytes += static_cast<uint64_t>(datagram->length_bytes);
        if (datagram->have_drop_count)
            count_drops(state, from_receiver, datagram->drop_count);
        if (!is_for_group(datagram, &from_receiver->request.group))
            continue;
        take_datagram(state, from_receiver, datagram);
        run_due_timers(state);
    }
    from_receiver->queue_empty = count < RECEIVE_BATCH_MAX;
    if (from_receiver->queue_empty)
        plan_nap(state, from_receiver);
    return 0;
}

// Drains every queue before each wait, so that output is written out only when nothing more
// is queued: one write for many lines under load, each line at once when the stream is quiet.
// Only an interrupt stops the loop in order: a wait that a signal cut short just waits again.
int receive_loop(run_state *state)
{
    uint64_t now_us = state->calls->monotonic_us();
    for (int i = 0; i < state->receiver_count; i++) {
        receiver *r = &state->receivers[i];
        r->queue_empty = false;
        r->emptied_us = now_us;
        r->queued_count = 0;
        r->queued_bytes = 0;
    }
    while (!interrupted && !state->stopping) {
        if (state->failed)
            return -1;
        if (summary_requested) {
            summary_requested = 0;
            emit_summary(state);
        }
        bool wait = false;
        if (all_queues_empty(state)) {
            int status = state->nap_us > 0 ? nap_while_busy(state) : wait_for_more(state);
            if (status < 0)
                return -1;
            wait = status == 1;
        }
        for (int i = 0; i < state->receiver_count && !interrupted && !state->stopping; i++) {
            receiver *from_receiver = &state->receivers[i];
            if (!from_receiver->queue_empty && receive_batch(state, from_receiver, wait) < 0)
                return -1;
        }
    }
    return 0;
}

// Resolves the source of a source-specific join in the group's family, and refuses one of
// the other family or one that can never send. Returns 0, or -1 after an error line.
static int resolve_source(const settings *options, membership_request *request)
{
    request->source_specific = options->source_host != nullptr;
    if (!request->source_specific)
        return 0;
    int family = request->group.storage.ss_family;
    int code = 0;
    endpoint other;
    if (find_host(options->source_host, family, &request->source, &code) < 0) {
        int other_code = 0;
        if (find_host(options->source_host, AF_UNSPEC, &other, &other_code) == 0) {
            log_line(stderr, "error", "Source \"%s\" is not of the group's family (%s)",
                     options->source_host, family == AF_INET6 ? "IPv6" : "IPv4");
            return -1;
        }
        return resolve_host(options->source_host, family, &request->source);
    }
    if (!is_unicast(&request->source)) {
        log_line(stderr, "error", "Invalid source address \"%s\": a source must be a unicast address",
                 options->source_host);
        return -1;
    }
    return 0;
}

// The interface of the join: an IPv4 address as given, an index as given or looked up by
// name, or the zone of an IPv6 group. Returns 0, or -1 after an error line.
static int choose_interface(const settings *options, membership_request *request)
{
    request->interface_addr = options->interface_addr;
    request->interface_index = options->interface_index;
    if (options->interface_by_name) {
        request->interface_index = find_interface(options->interface_name);
        if (request->interface_index == 0) {
            log_line(stderr, "error", "Unknown interface \"%s\"", options->interface_name);
            return -1;
        }
    } else if (request->interface_index != 0 && !interface_index_exists(request->interface_index)) {
        log_line(stderr, "error", "Unknown interface index %u", request->interface_index);
        return -1;
    }
    if (request->group.storage.ss_family != AF_INET6)
        return 0;
    uint32_t zone = endpoint_zone(&request->group);
    if (zone != 0 && request->interface_index != 0 && zone != request->interface_index) {
        log_line(stderr, "error", "The group's zone in \"%s\" and -i \"%s\" name different "
                                  "interfaces", options->host, options->interface_name);
        return -1;
    }
    if (request->interface_index == 0)
        request->interface_index = zone;
    if (request->interface_index == 0 && request->interface_addr.s_addr != htonl(INADDR_ANY)) {
        log_line(stderr, "error", "An IPv6 group is joined on an interface given by name or "
                                  "index, not \"%s\"", options->interface_name);
        return -1;
    }
    if (request->interface_index == 0 && is_link_local_group(&request->group)) {
        log_line(stderr, "error", "The link-local group \"%s\" needs an interface: -i <name> "
                                  "or a zone, as in ff02::1%%eth0", options->host);
        return -1;
    }
    return 0;
}

// Joins; with -v a failed join gets a second line with its likely cause, where one is known.
// Returns 0, or -1 after the error lines.
static int join_explained(const settings *options, receiver *opened)
{
    if (join_group(opened->socket, &opened->request) == 0)
        return 0;
    int code = socket_last_error();
    const membership_request *request = &opened->request;
    bool interface_given = options->interface_name != nullptr || request->interface_index != 0;
    const char *cause = membership_failure_cause(code, interface_given);
    if (options->verbose && cause != nullptr)
        log_line(stderr, "error", "Likely cause: %s", cause);
    return -1;
}

// Whether the run accounts for its senders in a summary, a JSON run or a metrics file.
static bool accounts(const settings *options)
{
    return options->verbose || options->summary || options->json || options->prom_path != nullptr ||
           options->have_max_lost;
}

// With --rcvbuf: asks for the buffer and says what was granted. Returns 0, or -1 after an
// error line.
static int set_receive_buffer(run_state *state, receiver *opened)
{
    uint64_t requested_bytes = state->options->rcvbuf_bytes;
    if (requested_bytes == 0)
        return 0;
    buffer_event event = {requested_bytes, 0, nullptr, 0};
    if (socket_set_receive_buffer(opened->socket, requested_bytes, &event.granted_bytes) < 0) {
        report_socket_error("setsockopt failed");
        return -1;
    }
    event.cap_name = receive_buffer_cap(&event.cap_bytes);
    state->out->receive_buffer(state->out, &event);
    return 0;
}

// A nap may let the queue fill a quarter of the receive buffer, leaving room to spare for a
// rate that rises meanwhile. That quarter is taken from what the queue could hold through a
// stall of this process, so where the loop naps and the buffer is the system's default, it
// asks for a third more: the room left while it naps is then the whole default buffer, as for
// a loop that never naps. A system that grants less only makes the naps shorter; one whose
// cap is below its default (an ask would shrink the buffer) is not asked.
static void make_room_for_naps(const run_state *state, receiver *opened)
{
    uint64_t buffer_bytes = socket_receive_buffer_bytes(opened->socket);
    opened->room_bytes = buffer_bytes / 4;
    if (state->calls->nap_us <= 0 || state->options->rcvbuf_bytes != 0)
        return;
    uint64_t wanted_bytes = buffer_bytes + buffer_bytes / 3;
    uint64_t cap_bytes = 0;
    // Linux caps the ask, then doubles it.
    if (receive_buffer_cap(&cap_bytes) != nullptr)
        wanted_bytes = std::min(wanted_bytes, 2 * cap_bytes);
    if (wanted_bytes > buffer_bytes && socket_ask_receive_buffer(opened->socket, wanted_bytes) == 0)
        opened->room_bytes = socket_receive_buffer_bytes(opened->socket) / 4;
}

// Where the run accounts for its senders, it also counts what this host dropped: the system
// hands the socket's drop count over with each datagram. Returns 0, or -1 after an error line.
static int count_host_drops(run_state *state, receiver *opened)
{
    if (!accounts(state->options))
        return 0;
    int counted = socket_count_drops(opened->socket);
    if (counted < 0) {
        report_socket_error("setsockopt failed");
        return -1;
    }
    opened->drops_counted = counted == 1;
    opened->drop_count = 0;
    state->host_drops_counted = opened->drops_counted;
    return 0;
}

// Opens, binds and joins the receiver for the group on the command line; on failure closes
// what it opened. Returns 0, or -1 after an error line.
static int open_receiver(run_state *state)
{
    const settings *options = state->options;
    receiver *opened = &state->receivers[0];
    membership_request *request = &opened->request;
    if (resolve_group(options->host, &request->group) < 0)
        return -1;
    endpoint_set_port(&request->group, options->port);
    if (choose_interface(options, request) < 0)
        return -1;
    endpoint bind_address;
    endpoint_any(&bind_address, request->group.storage.ss_family, options->port);
    opened->socket = open_receiver_socket(&bind_address);
    if (opened->socket == INVALID_SOCKET_HANDLE)
        return -1;
    state->out->bound(state->out, &bind_address);
    if (set_receive_buffer(state, opened) < 0 || count_host_drops(state, opened) < 0 ||
        net_wake_on_interrupt(opened->socket) < 0 || resolve_source(options, request) < 0 ||
        join_explained(options, opened) < 0) {
        socket_close(opened->socket);
        return -1;
    }
    make_room_for_naps(state, opened);
    state->receiver_count = 1;
    join_event joined = {&request->group, request->source_specific ? &request->source : nullptr,
                         options->interface_name};
    state->out->joined(state->out, &joined);
    return 0;
}

// Leaves and closes every receiver. The drops since the last datagram show only in the
// sockets' own counts, so they are read before the sockets close.
static void stop_receivers(run_state *state)
{
    read_all_drops(state);
    for (int i = 0; i < state->receiver_count; i++) {
        receiver *r = &state->receivers[i];
        leave_group(r->socket, &r->request);
        socket_close(r->socket);
        r->drops_counted = false;
        state->out->left(state->out, &r->request.group);
    }
}

// The verdict of --max-lost: 1 when more numbers were lost than allowed, or when no datagram
// came at all; 0 otherwise. A datagram this host dropped is lost to this receiver as surely as
// one the network lost, so both count. With -v the verdict says why.
static int judge(run_state *state)
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
static int run_started(run_state *state)
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
        status = judge(state);
    return status;
}

const loop_calls system_loop_calls = {socket_receive_many, socket_wait, socket_nap, busy_nap_us,
                                      clock_monotonic_us,  clock_utc_us,  socket_read_drops};

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
    int status = run_started(&state);
    net_cleanup();
    // A failed run's lines before its error are written out too (a failed write's are gone).
    if (status < 0)
        output_flush();
    restore_standard_output();
    return status;
}
