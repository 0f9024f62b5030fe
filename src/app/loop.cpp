#include "app/loop.h"

#include <errno.h>
#include <stdio.h>

#include "base/log.h"
#include "base/output.h"
#include "base/process.h"

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
void read_all_drops(run_state *state)
{
    for (int i = 0; i < state->receiver_count; i++) {
        uint32_t count;
        receiver *r = &state->receivers[i];
        if (r->drops_counted && state->calls->read_drops(r->socket, &count))
            count_drops(state, r, count);
    }
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

// Writes out what the sink holds. After an interrupt a reader may be slow, and is waited for
// while it reads; one that reads nothing for a while fails the run, which says so rather than
// end with lines missing. Returns 0, or -1 after an error line.
int flush_output(run_state *state)
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
                      seq_class kind, uint64_t arrival_us)
{
    const settings *options = state->options;
    int64_t seq = reading->seq;
    gap_event gap = {&datagram->from, {GAP_NONE, 0, 0, 0, 0}, options->per_sender, kind,
                     false, 0};
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
    // The datagram before the hole is the one the check compared with.
    uint64_t before_us = options->per_sender ? sender->last_utc_us : state->last_arrival_utc_us;
    if (state->stamps_arrivals && gap.gap.kind != GAP_EXTRA && before_us != 0) {
        gap.have_outage = true;
        gap.outage_us = elapsed_us(arrival_us, before_us);
    }
    state->stats.gaps += gap.gap.missed;
    add_saturating(&state->stats.gap_numbers, gap.gap.numbers);
    state->out->gap(state->out, &gap);
    if (options->verbose && gap.gap.kind == GAP_EXTRA) {
        class_event event = {&datagram->from, seq, kind};
        state->out->classified(state->out, &event);
    }
}

// Where arrivals are stamped: the outage of a gap the sender's accounting found, the period's
// bytes and times between datagrams, and with --sent-at the one-way delay from the sender's
// clock (for the period, the sender and the run; a datagram that ends before the clock's field
// has none).
static void note_times(run_state *state, sender_entry *sender, const received_datagram *datagram,
                       seq_class kind, uint64_t arrival_us)
{
    if (kind == SEQ_GAP && sender->last_utc_us != 0)
        track_outage(&sender->track, elapsed_us(arrival_us, sender->last_utc_us));
    state->stats.bytes += static_cast<uint64_t>(datagram->length_bytes);
    if (state->last_arrival_utc_us != 0) {
        uint64_t interval_us = elapsed_us(arrival_us, state->last_arrival_utc_us);
        histogram_add(&state->stats.interarrival, interval_us);
        histogram_add(&state->interarrival, interval_us);
        state->interarrival_sum_us += interval_us;
    }
    const settings *options = state->options;
    const seq_field *field = &options->sent_at.field;
    if (!options->have_sent_at ||
        static_cast<uint64_t>(datagram->length_bytes) < uint64_t(field->offset) + field->width_bytes)
        return;
    uint64_t sent_us = read_time_us(&options->sent_at, datagram->buffer);
    delay_add(&state->stats.delays, sent_us, arrival_us);
    delay_add(&sender->delays, sent_us, arrival_us);
    delay_add(&state->delays, sent_us, arrival_us);
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
    // Where the system stamps no arrival, the batch's time stands for it.
    uint64_t arrival_us = datagram->have_arrival ? datagram->arrival_utc_us : state->batch_utc_us;
    if (options->check_gaps && !reading.too_short)
        check_gap(state, sender, datagram, &reading, kind, arrival_us);
    if (state->stamps_arrivals)
        note_times(state, sender, datagram, kind, arrival_us);
    sender->last_utc_us = arrival_us;
    state->last_arrival_utc_us = arrival_us;
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

void emit_summary(run_state *state)
{
    read_all_drops(state);
    summary_event event = {&state->senders,
                           elapsed_us(state->calls->monotonic_us(), state->started_us),
                           state->host_drops_counted, state->host_drops, state->stamps_arrivals,
                           state->options->have_sent_at ? &state->delays : nullptr};
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
    if ((state->options->prom_path != nullptr || state->stamps_arrivals) && count > 0)
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
