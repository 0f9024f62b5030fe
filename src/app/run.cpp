#include "app/app.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include "app/datagram_line.h"
#include "app/process.h"
#include "log/log.h"
#include "net/address.h"
#include "monitor/monitor.h"
#include "net/receiver.h"
#include "timer/clock.h"
#include "timer/timer.h"

// Set by on_interrupt, read by the loop once per datagram: under a steady stream the loop may
// not wait for a long time, and the wait is where the other sign of an interrupt shows.
static volatile sig_atomic_t interrupted = 0;

// Everything the run owns, for as long as it runs.
struct run_state {
    const settings *options;
    sockaddr_in group_addr;
    sockaddr_in source_addr;
    socket_handle socket;
    stats_record stats;
    int64_t last_seq;
    datagram_parts line_parts;
    // Each datagram of a batch has a whole 64 KiB buffer, the most a datagram can be; pages
    // that small datagrams never reach are never touched.
    unsigned char buffers[RECEIVE_BATCH_MAX][65536];
    received_datagram batch[RECEIVE_BATCH_MAX];
};

void on_interrupt(int)
{
    interrupted = 1;
    net_interrupt();
}

// Joins and arms what the run needs; on failure closes what it opened. Returns 0, or -1 after
// an error line.
static int start(run_state *state)
{
    const settings *options = state->options;
    if (install_interrupt_handler(on_interrupt) < 0)
        return -1;
    if (resolve_ipv4(options->host, &state->group_addr) < 0)
        return -1;
    state->group_addr.sin_port = htons(options->port);
    datagram_parts_start(&state->line_parts, &state->group_addr);
    sockaddr_in bind_address;
    memset(&bind_address, 0, sizeof bind_address);
    bind_address.sin_family = AF_INET;
    bind_address.sin_port = htons(options->port);
    bind_address.sin_addr.s_addr = htonl(INADDR_ANY);
    state->socket = open_receiver_socket(&bind_address);
    if (state->socket == INVALID_SOCKET_HANDLE)
        return -1;
    if (net_wake_on_interrupt(state->socket) < 0 ||
        join_group(state->socket, options, &state->group_addr, &state->source_addr) < 0) {
        socket_close(state->socket);
        return -1;
    }
    if (state->stats.period_us != 0 && stats_start(&state->stats) < 0) {
        leave_group(state->socket, options, &state->group_addr, &state->source_addr);
        socket_close(state->socket);
        return -1;
    }
    return 0;
}

static void print_datagram(run_state *state, const unsigned char *datagram, int length,
                           const sockaddr_in *from)
{
    int64_t seq = read_sequence(datagram, static_cast<size_t>(length), state->options->short_seq);
    state->stats.packets++;
    if (state->options->check_gaps)
        check_sequence(seq, state->last_seq, &state->stats);
    char line[256];
    char *end = log_begin(line, "info");
    end = format_datagram_from(end, &state->line_parts, from, length, seq);
    log_end(stdout, line, end);
    state->last_seq = seq;
}

// Writes out what standard output holds. A write that an interrupt cut short is no failure:
// the run is stopping in order. Returns 0, or -1 after an error line.
static int flush_output(void)
{
    if (fflush(stdout) == 0 && !ferror(stdout))
        return 0;
    int code = errno;
    clearerr(stdout);
    if (interrupted && code == EINTR)
        return 0;
    report_c_error("write failed", code);
    return -1;
}

// Writes out every line printed so far, then waits for the next timer or a datagram. Returns
// 1 when no timer is armed (the receive that follows may wait itself), 0 after the wait, or
// -1 after an error line.
static int wait_for_more(run_state *state)
{
    if (flush_output() < 0)
        return -1;
    int64_t limit_us = timers_wait_limit_us(clock_monotonic_us());
    if (limit_us < 0)
        return 1;
    if (socket_wait(state->socket, limit_us) == -1 && !interrupted) {
        report_socket_error("select failed");
        return -1;
    }
    timers_run_due();
    return 0;
}

// Drains the socket before each wait, so that output is flushed only when nothing more is
// queued: one write for many lines under load, each line at once when the stream is quiet. A
// batch that comes back short shows the queue empty, so no call is spent to find that out.
// Only an interrupt stops the loop in order: a wait that a signal cut short just waits again.
// Returns 0 after an interrupt, -1 after an error line.
static int receive_loop(run_state *state)
{
    bool queue_empty = false;
    while (!interrupted) {
        bool wait = false;
        if (queue_empty) {
            int status = wait_for_more(state);
            if (status < 0)
                return -1;
            wait = status == 1;
        }
        int count = socket_receive_many(state->socket, state->batch, RECEIVE_BATCH_MAX, wait);
        if (count == RECEIVE_WOULD_BLOCK || count == WAIT_ENDED_EARLY) {
            queue_empty = true;
            continue;
        }
        if (count < 0) {
            if (interrupted)
                return 0;
            report_socket_error("recv failed");
            return -1;
        }
        // The flag is looked at before each datagram: what an interrupt leaves behind in the
        // batch is not a datagram.
        for (int i = 0; i < count && !interrupted; i++) {
            const received_datagram *datagram = &state->batch[i];
            if (!is_for_group(datagram, state->group_addr.sin_addr))
                continue;
            print_datagram(state, datagram->buffer, datagram->length_bytes, &datagram->from);
            timers_run_due();
        }
        queue_empty = count < RECEIVE_BATCH_MAX;
    }
    return 0;
}

// Starts, loops and stops; every path leaves and closes what start opened.
static int run_started(run_state *state)
{
    if (start(state) < 0)
        return -1;
    int status = receive_loop(state);
    leave_group(state->socket, state->options, &state->group_addr, &state->source_addr);
    socket_close(state->socket);
    if (status == 0 && flush_output() < 0)
        status = -1;
    return status;
}

int run(const settings *options)
{
    // Static: the batch buffers are too large for a thread's stack on every platform, and
    // standard output's buffer must outlive the run, as the exit writes it out.
    static run_state state;
    static char output_buffer[1 << 16];
    state.options = options;
    state.stats.period_us = options->period_us;
    state.last_seq = NO_SEQUENCE;
    // Lines are written out in large blocks, and always before the loop waits.
    setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);
    for (int i = 0; i < RECEIVE_BATCH_MAX; i++) {
        state.batch[i].buffer = state.buffers[i];
        state.batch[i].size = sizeof state.buffers[i];
    }
    if (net_startup() < 0)
        return -1;
    int status = run_started(&state);
    net_cleanup();
    return status;
}
