// The run's own record and its receive loop, apart from start-up and stop, so that a test can
// drive the loop through a table of scripted calls to the outside world and a sink that
// records.
#pragma once

#include <signal.h>

#include "app/app.h"
#include "monitor/monitor.h"
#include "monitor/pace.h"
#include "monitor/senders.h"
#include "net/receiver.h"
#include "output/metrics.h"
#include "output/sink.h"
#include "timer/timer.h"

#define RECEIVERS_MAX 4

// Everything the loop reaches outside itself: the sockets, the nap, both clocks and the
// sockets' drop counts. A test drives the loop through a scripted table; system_loop_calls
// holds the system's.
struct loop_calls {
    int (*receive_many)(socket_handle s, received_datagram *datagrams, int count, bool wait);
    int (*wait)(const socket_handle *sockets, int count, int64_t limit_us);
    void (*nap)(int64_t nap_us);
    int64_t nap_us;                  // the longest nap
    uint64_t (*monotonic_us)(void);  // timers, stalls, the rate a queue fills at
    uint64_t (*utc_us)(void);        // the time of day a metrics file gives
    int (*read_drops)(socket_handle s, uint32_t *count);
};
extern const loop_calls system_loop_calls;

// One joined socket: what it joined, and whether its queue was found empty since the last wait.
struct receiver {
    socket_handle socket;
    membership_request request;
    bool queue_empty;
    // What queued since the queue was last found empty, and when that was: the rate it fills at.
    uint64_t emptied_us;
    int queued_count;
    uint64_t queued_bytes;
    uint64_t room_bytes;     // of the receive buffer, what a nap may let the queue fill
    bool drops_counted;      // the system hands its drop count over
    uint32_t drop_count;     // the last count read (cumulative, wrapping)
};

// Everything the run owns, for as long as it runs.
struct run_state {
    const settings *options;
    const loop_calls *calls;
    sink *out;
    receiver receivers[RECEIVERS_MAX];
    int receiver_count;
    timer_set timers;
    stats_record stats;
    timer stats_timer;
    timer stop_timer;        // --duration
    uint64_t started_us;     // as clock_monotonic_us
    uint64_t taken;          // datagrams taken, for -c
    bool stopping;           // -c or --duration reached: stop as an interrupt does
    bool failed;             // a timer's work failed, after its error line: stop with -1
    int64_t nap_us;          // after the queues were found empty: nap this long (0: wait)
    bool host_drops_counted; // every receiver counts what its full queue dropped
    uint64_t host_drops;     // over the run
    uint64_t host_drops_reported;  // at the last statistics report
    timer metrics_timer;     // --prom: the file is written every second
    uint64_t start_utc_us;
    uint64_t batch_us;       // when the batch in hand came, on the monotonic clock
    uint64_t batch_utc_us;   // when the batch in hand came (read per batch, with --prom or
                             // stamped arrivals only)
    bool stamps_arrivals;    // each datagram's time of arrival is kept, for the outages
    uint64_t last_arrival_utc_us; // of any sender's last datagram, where arrivals are stamped
    histogram interarrival;  // the times between datagrams over the run (--prom)
    uint64_t interarrival_sum_us;
    delay_record delays;     // over the run, with --sent-at
    timer stall_timer;       // --stall
    uint64_t last_arrival_us;
    bool stalled;            // the stall line was printed and no datagram came since
    int64_t last_seq;        // of any sender, for the -g check; NO_SEQUENCE before the first
    seq_rules rules;         // how the layout's numbers are judged
    bool have_next;          // in a given layout, for the -g check: the number the previous
    int64_t next_seq;        // datagram of any sender made next
    sender_table senders;
    // Each datagram of a batch has a whole 64 KiB buffer, the most a datagram can be; pages
    // that small datagrams never reach are never touched.
    unsigned char buffers[RECEIVE_BATCH_MAX][65536];
    received_datagram batch[RECEIVE_BATCH_MAX];
};

// Set by on_interrupt, read by the loop; a test that interrupts a loop clears it after.
extern volatile sig_atomic_t interrupted;

// Set by on_summary_request (SIGUSR1), cleared by the loop when it has printed the summary.
extern volatile sig_atomic_t summary_requested;
void on_summary_request(int signal_number);

// The handler for SIGINT and SIGTERM: it sets the flag and wakes every wait, nothing else.
void on_interrupt(int signal_number);

// Readies a run's record: no receiver yet, the batch buffers, the statistics timer (not armed).
void run_state_init(run_state *state, const settings *options, const loop_calls *calls,
                    sink *out);

// Receives, checks and hands to the sink until interrupted or stopping: returns 0 then, or -1
// after an error line (a failed wait, receive or write).
int receive_loop(run_state *state);

// Reads every receiver's drop count outright: a drop after the last datagram shows only so.
void read_all_drops(run_state *state);

// Writes out what the sink holds. Returns 0, or -1 after an error line.
int flush_output(run_state *state);

// Hands the summary so far to the sink.
void emit_summary(run_state *state);
