#include "app/loop.h"
#include "app/timers.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "base/clock.h"
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
    if (timers_armed(&state->timing.timers))
        timers_fire_due(&state->timing.timers, state->calls->monotonic_us(state->calls->context));
}

// Before a datagram, the timers that fell due before it arrived: a statistics period's end or
// --duration splits a batch where its datagrams' own times say, live or from a capture. One
// that falls due exactly when a datagram arrived fires after it. The metrics' second (coarse)
// waits for the batch's end.
static void run_timers_before(run_state *state, uint64_t at_us)
{
    if (at_us > 0 && timers_fine_armed(&state->timing.timers))
        timers_fire_due(&state->timing.timers, at_us - 1);
}

// Adds what a socket's queue dropped since its count was last read, to its first stream: a
// drop of a shared socket belongs to none of its streams more than another. at_utc_us: when the
// count was read, 0 for now.
static void count_drops(run_state *state, receiver *from_receiver, uint32_t count,
                        uint64_t at_utc_us)
{
    uint32_t rise = count - from_receiver->drop_count;
    if (rise < (uint32_t(1) << 31)) {
        stream_state *stream = &state->watched.streams[state->receive.receiver_streams[from_receiver->first]];
        stream->host_drops += rise;
        from_receiver->drop_count = count;
        if (stream->line != nullptr && rise != 0)
            timeline_drops(stream->line, at_utc_us != 0 ? at_utc_us : utc_now(state), rise);
    }
}

// The drop counts come with datagrams, so a drop after the last one shows only when the count
// is read outright, as it is before every report.
void read_all_drops(run_state *state)
{
    for (int i = 0; i < state->receive.open_count; i++) {
        uint32_t count;
        receiver *r = &state->receive.receivers[i];
        if (r->drops_counted && state->calls->read_drops(state->calls->context, r->socket, &count))
            count_drops(state, r, count, 0);
    }
}

event_head head_of(const run_state *state, const stream_state *stream, uint64_t at_utc_us)
{
    return event_head{stream != nullptr ? &stream->label : &state->outputs.run_label, at_utc_us};
}

uint64_t utc_now(const run_state *state)
{
    return state->calls->utc_us(state->calls->context);
}

uint64_t utc_of(const run_state *state, uint64_t at_us)
{
    uint64_t now_utc_us = utc_now(state);
    uint64_t ago_us = elapsed_us(state->calls->monotonic_us(state->calls->context), at_us);
    return ago_us < now_utc_us ? now_utc_us - ago_us : 0;
}

// Writes out what the sink holds. After an interrupt a reader may be slow, and is waited for
// while it reads; one that reads nothing for a while fails the run, which says so rather than
// end with lines missing. Returns 0, or -1 after an error line.
int flush_output(run_state *state)
{
    int code = state->outputs.out->flush(state->outputs.out);
    if (code == 0)
        return 0;
    if (code == ETIMEDOUT)
        log_line(stderr, "error", "write failed: standard output was not read for %d s",
                 OUTPUT_STALL_LIMIT_US / 1000000);
    else
        report_c_error("write failed", code);
    return -1;
}

// How much later than its limit a wait may end before the loop takes it for held up.
#define WAIT_OVERRUN_US 1000

// Writes out every line printed so far, then waits for a datagram on any stream or for the
// next timer; the streams found ready are pending. Returns 1 when the receive that follows may
// wait itself (one stream and no timer armed), 0 after the wait, or -1 after an error line.
static int wait_for_more(run_state *state)
{
    if (flush_output(state) < 0)
        return -1;
    uint64_t waited_from_us = state->calls->monotonic_us(state->calls->context);
    int64_t limit_us = timers_wait_limit_us(&state->timing.timers, waited_from_us);
    if (limit_us < 0 && waited_count(state) == 1) {
        state->receive.pending[0] = 0;
        state->receive.pending_count = 1;
        return 1;
    }
    int ready = state->calls->wait(state->calls->context, &state->receive.waits, limit_us,
                                   state->receive.pending, waited_count(state));
    // A wait held up past its limit (a stopped process) may time out with datagrams queued
    // meanwhile: it looks again, so that they are taken before the timers fire.
    uint64_t waited_us =
        elapsed_us(state->calls->monotonic_us(state->calls->context), waited_from_us);
    if (ready == 0 && limit_us >= 0 && waited_us > uint64_t(limit_us) + WAIT_OVERRUN_US)
        ready = state->calls->wait(state->calls->context, &state->receive.waits, 0, state->receive.pending,
                                   waited_count(state));
    if (ready == -1 && !interrupted) {
        report_socket_error("select failed");
        return -1;
    }
    state->receive.pending_count = ready > 0 ? ready : 0;
    // What is ready is taken first, each datagram after the timers due before it arrived:
    // a loop that was held up (stopped, or descheduled) splits what queued by its own times.
    // A wait that ended early (a signal, and Linux ends one after SIGSTOP and SIGCONT) says
    // nothing of the queues: the next look does.
    if (ready == 0)
        run_due_timers(state);
    return 0;
}

// After a busy drain: writes out what was printed, naps briefly instead of waiting, and takes
// what queued meanwhile without waiting: a single stream at once, many by a look at which are
// ready. A stream that has gone quiet shows it by a single datagram, and the loop waits again.
// Returns 0, or -1 after an error line.
static int nap_while_busy(run_state *state)
{
    int64_t nap_us = state->receive.nap_us;
    state->receive.nap_us = 0;
    if (flush_output(state) < 0)
        return -1;
    state->calls->nap(state->calls->context, nap_us);
    if (waited_count(state) == 1) {
        state->receive.pending[0] = 0;
        state->receive.pending_count = 1;
    } else {
        int ready = state->calls->wait(state->calls->context, &state->receive.waits, 0, state->receive.pending,
                                       waited_count(state));
        if (ready == -1 && !interrupted) {
            report_socket_error("select failed");
            return -1;
        }
        state->receive.pending_count = ready > 0 ? ready : 0;
    }
    if (state->receive.pending_count == 0)
        run_due_timers(state);
    return 0;
}

// Once every queue is found empty: how long the loop may nap before it looks again, from how
// fast the queues filled since they were last all empty.
static void plan_nap(run_state *state)
{
    uint64_t now_us = state->calls->monotonic_us(state->calls->context);
    nap_rule rule = {state->calls->nap_us, RECEIVE_BATCH_MAX, state->receive.room_bytes};
    int64_t queued_us = static_cast<int64_t>(elapsed_us(now_us, state->receive.emptied_us));
    state->receive.nap_us = nap_after_drain_us(&rule, state->receive.queued_count, state->receive.queued_bytes, queued_us);
    state->receive.emptied_us = now_us;
    state->receive.queued_count = 0;
    state->receive.queued_bytes = 0;
}

// The stream of the receiver's that a datagram was sent to: where the socket serves one, that
// one if the datagram went to its group; where it serves several, the one whose group it went
// to (the last one's first, as a stream's datagrams come in runs). -1 for none.
static int stream_of(run_state *state, receiver *r, const received_datagram *datagram)
{
    for (int k = 0; k < r->count; k++) {
        int at = (r->last_taken + k) % r->count;
        int place = state->receive.receiver_streams[r->first + at];
        if (is_for_group(datagram, &state->watched.streams[place].request.group)) {
            r->last_taken = at;
            return place;
        }
    }
    return -1;
}

// Takes one batch from a receiver's socket. Returns 1 when it came back full (more may be
// queued), 0 when the queue was found empty, or -1 after an error line.
static int receive_batch(run_state *state, int index, bool wait)
{
    receiver *from_receiver = &state->receive.receivers[index];
    // No more than -c still takes: the rest stay where they are, and a capture's clock stops
    // at the last datagram taken.
    int wanted = RECEIVE_BATCH_MAX;
    uint64_t count_max = state->options->count_max;
    if (count_max != 0 && count_max - state->taken < uint64_t(wanted))
        wanted = static_cast<int>(count_max - state->taken);
    int count = state->calls->receive_many(state->calls->context, from_receiver->socket,
                                           state->receive.batch, wanted, wait);
    if (count == RECEIVE_WOULD_BLOCK || count == WAIT_ENDED_EARLY)
        return 0;
    if (count == RECEIVE_END) {
        state->stopping = true;
        return 0;
    }
    if (count < 0) {
        if (interrupted)
            return 0;
        report_socket_error("recv failed");
        return -1;
    }
    state->receive.queued_count += count;
    // The flags are looked at before each datagram, after the timers due before it: what an
    // interrupt or the end of --duration leaves behind in the batch is not a datagram. A
    // capture's batch was read from the file: an interrupt leaves none of it behind.
    int i = 0;
    for (; i < count; i++) {
        const received_datagram *datagram = &state->receive.batch[i];
        run_timers_before(state, datagram->at_us);
        if ((interrupted && !state->from_capture) || state->stopping)
            break;
        state->receive.queued_bytes += static_cast<uint64_t>(datagram->length_bytes);
        if (datagram->have_drop_count)
            count_drops(state, from_receiver, datagram->drop_count, datagram->arrival_utc_us);
        int place = datagram->stream >= 0 ? datagram->stream
                                          : stream_of(state, from_receiver, datagram);
        if (place < 0)
            continue;
        take_datagram(state, place, datagram);
    }
    // The rest that fell due before the last datagram taken: a saturated loop never waits or
    // naps, where they are looked at otherwise; one due when it came may have more at its time.
    if (i > 0 && timers_armed(&state->timing.timers) && state->receive.batch[i - 1].at_us > 0)
        timers_fire_due(&state->timing.timers, state->receive.batch[i - 1].at_us - 1);
    return count == RECEIVE_BATCH_MAX ? 1 : 0;
}

// The most packets a wake takes from a query socket: a flood of them waits for the next wake
// and never holds the streams up longer than that.
#define QUERIES_PER_WAKE 16

// Counts a query heard, and hands it to the sink where it is to be said: the first of its
// querier and version on the interface, or one whose interval changed.
static void note_query(run_state *state, const query_reading *query, uint32_t interface_index)
{
    query_side *queries = &state->queries;
    int known = queries->queriers.count;
    uint64_t at_utc_us = utc_now(state);
    int said = querier_note(&queries->queriers, interface_index, query, at_utc_us);
    char interface_name[INTERFACE_NAME_MAX] = "";
    if (queries->queriers.count > known || said)
        state->calls->interface_name(state->calls->context, interface_index, interface_name);
    if (queries->queriers.count > known)
        memcpy(queries->interface_names[known], interface_name, INTERFACE_NAME_MAX);
    uint64_t at_us = state->calls->monotonic_us(state->calls->context);
    for (int i = 0; i < queries->watch_count; i++)
        query_watch_heard(&queries->watches[i], interface_index, at_us);
    arm_query_timer(state);
    if (!said)
        return;
    query_event event = {query, interface_name};
    event_head head = head_of(state, nullptr, at_utc_us);
    state->outputs.out->query(state->outputs.out, &head, &event);
}

// Takes what a query socket holds, up to QUERIES_PER_WAKE packets. Returns 0, or -1 after an
// error line.
static int take_queries(run_state *state, int index)
{
    for (int i = 0; i < QUERIES_PER_WAKE; i++) {
        query_reading query;
        uint32_t interface_index = 0;
        int got = state->calls->receive_query(state->calls->context, state->queries.sockets[index],
                                              state->queries.packet, sizeof state->queries.packet,
                                              &query, &interface_index);
        if (got == RECEIVE_WOULD_BLOCK || (got < 0 && interrupted))
            return 0;
        if (got < 0) {
            report_socket_error("recv failed");
            return -1;
        }
        if (got == 1)
            note_query(state, &query, interface_index);
    }
    return 0;
}

// A summary asked for comes at the end of the batch in hand.
void answer_summary_request(run_state *state)
{
    if (!summary_requested)
        return;
    summary_requested = 0;
    emit_summary(state);
}

// Takes a batch from each pending receiver; those whose batch came back full stay pending.
// Returns 0, or -1 after an error line.
static int drain_pending(run_state *state, bool wait)
{
    // Every queue found empty in this round held nothing that arrived up to its start (the
    // clock is read before the first receive); what arrived since, while the loop was taking
    // or was held up, is still to be taken. A round after a wait that ended early looks at no
    // queue, and says nothing of them.
    bool timed = timers_armed(&state->timing.timers) && state->receive.pending_count > 0;
    uint64_t round_us = timed ? state->calls->monotonic_us(state->calls->context) : 0;
    int kept = 0;
    for (int i = 0; i < state->receive.pending_count; i++) {
        if (interrupted || state->stopping) {
            state->receive.pending[kept++] = state->receive.pending[i];
            continue;
        }
        int place = state->receive.pending[i];
        if (place >= state->receive.open_count) {
            if (take_queries(state, place - state->receive.open_count) < 0)
                return -1;
            continue;
        }
        int status = receive_batch(state, place, wait);
        if (status < 0)
            return -1;
        answer_summary_request(state);
        if (status == 1)
            state->receive.pending[kept++] = place;
    }
    state->receive.pending_count = kept;
    if (kept == 0) {
        plan_nap(state);
        // What fell due by the round's start is due before anything yet to come; what fell
        // due since waits for the next look at the queues.
        if (timed)
            timers_fire_due(&state->timing.timers, round_us);
    }
    return 0;
}

// Drains every queue before each wait, so that output is written out only when nothing more
// is queued: one write for many lines under load, each line at once when the stream is quiet.
// Only an interrupt stops the loop in order: a wait that a signal cut short just waits again.
int receive_loop(run_state *state)
{
    state->receive.emptied_us = state->calls->monotonic_us(state->calls->context);
    state->receive.queued_count = 0;
    state->receive.queued_bytes = 0;
    state->receive.pending_count = 0;
    for (int i = 0; i < state->receive.open_count; i++)
        state->receive.pending[state->receive.pending_count++] = i;
    while (!interrupted && !state->stopping) {
        if (state->failed)
            return -1;
        answer_summary_request(state);
        bool wait = false;
        if (state->receive.pending_count == 0) {
            int status = state->receive.nap_us > 0 ? nap_while_busy(state) : wait_for_more(state);
            if (status < 0)
                return -1;
            wait = status == 1;
        }
        if (drain_pending(state, wait) < 0)
            return -1;
    }
    return 0;
}
