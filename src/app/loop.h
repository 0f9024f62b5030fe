// The run's own record and its receive loop, apart from start-up and stop, so that a test can
// drive the loop through a table of scripted calls to the outside world and a sink that
// records.
#pragma once

#include <signal.h>

#include "app/app.h"
#include "app/needs.h"
#include "monitor/join.h"
#include "monitor/monitor.h"
#include "monitor/pace.h"
#include "monitor/querier.h"
#include "monitor/senders.h"
#include "monitor/stream.h"
#include "monitor/timeline.h"
#include "net/query_socket.h"
#include "net/receiver.h"
#include "output/metrics.h"
#include "output/sink.h"
#include "timer/timer.h"

#include "monitor/feed.h"
#include "net/http_server.h"

// Everything the loop reaches outside itself: the sockets, the nap, both clocks and the
// sockets' drop counts, each called with the context of the side it reaches (the live
// sockets, a capture being replayed, a test's script). Whoever receives stamps each datagram
// with its own time of arrival (at_us, arrival_utc_us), so that the loop never reads a clock
// for a datagram.
struct loop_calls {
    int (*receive_many)(void *context, socket_handle s, received_datagram *datagrams, int count,
                        bool wait);
    int (*wait)(void *context, wait_set *set, int64_t limit_us, int *ready, int ready_max);
    void (*nap)(void *context, int64_t nap_us);
    int64_t nap_us;                               // the longest nap
    uint64_t (*monotonic_us)(void *context);      // timers, stalls, the rate a queue fills at
    uint64_t (*utc_us)(void *context);            // the time of day a metrics file gives
    int (*read_drops)(void *context, socket_handle s, uint32_t *count);
    // One packet of a query socket, as receive_query answers; and an interface's name, looked
    // up only for a querier new to the run or a query said, never for each of a flood.
    int (*receive_query)(void *context, socket_handle s, unsigned char *buffer, size_t size,
                         query_reading *reading, uint32_t *interface_index);
    void (*interface_name)(void *context, uint32_t index, char *name);
    // Leaves a stream's group on its socket as left has it (null: a failed join left it
    // already) and joins it as joined has it (--rejoin; the two differ in their interface's
    // index where it was made again under its name): 0, or -1 after an error line, the group
    // then left.
    int (*rejoin)(void *context, socket_handle s, const membership_request *left,
                  membership_request *joined);
    // The index of the interface with this name now, or 0 when there is none.
    uint32_t (*find_interface)(void *context, const char *name);
    void *context;
};

// One socket and the streams it serves: up to the system's groups per socket, of one family
// and port, no two of one group, so that a datagram's group names its stream.
struct receiver {
    socket_handle socket;
    int first;               // its streams are receiver_streams[first .. first + count)
    int count;
    int last_taken;          // of its streams, the one the last datagram went to
    bool opened;
    uint64_t room_bytes;     // of the receive buffer, what a nap may let the queue fill
    bool drops_counted;      // the system hands its drop count over
    uint32_t drop_count;     // the last count read (cumulative, wrapping)
};

// A feed of redundant lines and what the run says of it.
struct feed_record {
    const char *name;
    feed_state state;
    int lines[FEED_LINES_MAX];  // the streams that are its lines, in the file's order
    bool lag_said;
    histogram period_from[FEED_LINES_MAX];  // its lines' times behind as the period began
    uint64_t beyond_from[FEED_LINES_MAX];
};

// One stream: its membership, its judgement of numbers, its statistics and its stall watch.
struct stream_state {
    const stream_settings *config;
    stream_label label;      // what its events are about, for the sink
    membership_request request;
    int receiver;            // the socket that serves it
    bool joined;
    join_watch join;         // its join, and how long until its first datagram
    stream_judge judge;      // its numbers, times and period counts
    uint64_t last_arrival_us;     // on the monotonic clock, for --stall and --rejoin
    bool stalled;            // the stall line was printed and no datagram came since
    uint64_t host_drops;     // over the run: its socket's, where it is the socket's first stream
    uint64_t host_drops_reported;  // at the last statistics report
    feed_record *feed;       // null: not a line of a feed
    int feed_line;
    uint64_t fragmented;     // from a capture: datagrams split by IP not made whole
    uint64_t truncated;      // from a capture: frames cut short before the number ended
    timeline *line;          // --report: its counts over the run; else null
    uint8_t ts_limits_said;  // of its transport stream's limits_passed, those said
};

struct top_view;

// The sockets, and what the loop keeps of their queues and of the batch in hand.
struct receive_side {
    receiver *receivers;     // the sockets, receiver_count of them
    int receiver_count;
    int *receiver_streams;   // the streams of each receiver, one after the other
    int open_count;          // receivers whose sockets are open, 0 to open_count - 1
    socket_handle *sockets;  // theirs, for the wait set
    wait_set waits;
    bool waits_open;
    int *pending;            // receivers whose queues are not known to be empty
    int pending_count;
    int *ready;              // room for a wait's answer
    int64_t nap_us;          // after the queues were found empty: nap this long (0: wait)
    // What queued since the queues were last all found empty, and when that was: the rate
    // they fill at, for the nap.
    uint64_t emptied_us;
    int queued_count;
    uint64_t queued_bytes;
    uint64_t room_bytes;     // the least any receiver leaves for a nap
    bool host_drops_counted; // every receiver counts what its full queue dropped
    // Each datagram of a batch has a whole 64 KiB buffer, the most a datagram can be; pages
    // that small datagrams never reach are never touched.
    unsigned char buffers[RECEIVE_BATCH_MAX][65536];
    received_datagram batch[RECEIVE_BATCH_MAX];
};

// One socket a family: IGMP and MLD.
#define QUERY_SOCKETS_MAX 2

// The raw sockets that hear the links' queriers, in the wait set after the receivers' sockets
// (receive_side's sockets and places from open_count on), and what they heard.
struct query_side {
    socket_handle sockets[QUERY_SOCKETS_MAX];
    int count;
    querier_table queriers;
    char interface_names[QUERIERS_MAX][INTERFACE_NAME_MAX];  // of each querier entry
    query_watch *watches;    // the interfaces joined on, watched for queries while a socket
    int watch_count;         // hears them; room for as many as the streams
    unsigned char packet[QUERY_PACKET_MAX];
};

// The streams watched, their senders and their feeds.
struct stream_set {
    stream_state *streams;   // stream_count of them, made at start
    int stream_count;
    int stream_capacity;     // room for more, found as a capture is read
    feed_record *feeds;
    int feed_count;
    sender_table senders;
};

// Where the run's events and figures go.
struct run_outputs {
    sink *out;
    stream_label run_label;  // what an event of the whole run is about: no stream
    text_buffer metrics_text; // the last rendering
    text_buffer report_text;  // the last report served
    metrics_view *metric_views;  // room to render every stream and every feed, stream_capacity
    metrics_feed *metric_feeds;  // of each: a feed may have a single line
    http_server *server;     // --listen: open before anything is joined; else null
    top_view *top;           // --top's view: made with the record
};

// The run's timers, each told when it fell due.
struct run_timers {
    timer_set timers;
    timer stats_timer;
    uint64_t stats_due_us;   // the next report, on a grid from the start
    timer stop_timer;        // --duration
    timer feed_timer;        // feeds decide their holes when the arbitration time is up
    timer stall_timer;       // --stall
    timer metrics_timer;     // --prom, --listen: the metrics are rendered every second
    timer query_timer;       // an interface joined on went without a query too long
    timer rejoin_timer;      // --rejoin: a stream silent that long is joined again
};

// Everything the run owns, for as long as it runs.
struct run_state {
    const settings *options;
    const loop_calls *calls;
    run_needs needs;         // what the run measures, from its settings
    judge_settings judging;  // how every stream judges its datagrams
    stream_set watched;
    receive_side receive;
    query_side queries;
    run_outputs outputs;
    run_timers timing;
    uint64_t started_us;     // as clock_monotonic_us
    uint64_t start_utc_us;
    uint64_t taken;          // datagrams taken, for -c
    bool stopping;           // -c or --duration reached: stop as an interrupt does
    bool failed;             // a timer's work failed, after its error line: stop with -1
    bool from_capture;       // host drops are not known; fragments and truncated frames are
    bool said_shared;        // a stream's senders past the table's room were said to share one
};

// Set by on_interrupt, read by the loop; a test that interrupts a loop clears it after.
extern volatile sig_atomic_t interrupted;

// Set by on_summary_request (SIGUSR1), cleared by the loop when it has printed the summary.
extern volatile sig_atomic_t summary_requested;
void on_summary_request(int signal_number);

// The handler for SIGINT and SIGTERM: it sets the flag and wakes every wait, nothing else.
void on_interrupt(int signal_number);

// Readies a run's record for its streams (made here, with their feeds), the batch buffers and
// the timers (not armed). Returns 0, or -1 after an error line (memory ran out).
// stream_capacity: room for streams found on the way (a capture's), at least stream_count.
int run_state_init(run_state *state, const settings *options, const stream_settings *streams,
                   int stream_count, int stream_capacity, const loop_calls *calls, sink *out);

// Readies a stream of the run's record for its settings. Returns 0, or -1 after an error line.
int stream_init(stream_state *stream, const stream_settings *config, const settings *options);

// Adds a stream found on the way (a capture's group met first) for its settings and group, at
// the time the run has reached (at_us, for --stall). Returns its place, or -1 when the record
// has no room for more. config is the caller's, and must outlive the run.
int add_stream(run_state *state, const stream_settings *config, const endpoint *group,
               uint64_t at_us);

// The first interval of a stream's timeline; it doubles as the run grows long.
#define REPORT_FIRST_INTERVAL_US 1000

// Starts every stream's timeline at the run's start (with --report).
void start_timelines(run_state *state);

// The verdict of --max-lost: 1 when more numbers were lost than allowed, or when a stream
// outside any feed, or a whole feed, had nothing come (no datagram at all, as with one stream);
// 0 otherwise. A feed's loss is what no line delivered; a stream outside any feed loses what
// the network lost and what this host dropped, as surely lost to this receiver. Made from the
// counts alone, so that the report says the same as the exit status.
void verdict_of(const run_state *state, verdict_event *event);

// Frees what run_state_init made.
void run_state_free(run_state *state);

// A receive's answer when there is nothing more to receive (a capture's end): the loop stops
// as -c does.
#define RECEIVE_END (-4)

// The sockets of the wait set: the receivers' open ones, then the query sockets.
inline int waited_count(const run_state *state)
{
    return state->receive.open_count + state->queries.count;
}

// Receives, checks and hands to the sink until interrupted or stopping: returns 0 then, or -1
// after an error line (a failed wait, receive or write).
int receive_loop(run_state *state);

// The head of an event about a stream (null: the whole run) at a time on the calendar clock.
event_head head_of(const run_state *state, const stream_state *stream, uint64_t at_utc_us);

// A moment on the run's monotonic clock (a timer's due time) on the calendar clock, as the
// clocks stand now; a capture's two clocks are one.
uint64_t utc_of(const run_state *state, uint64_t at_us);

// The calendar clock now: the time of the run's events that happen now (joins, summaries).
uint64_t utc_now(const run_state *state);

// Decides what every feed can decide at now_us (with at_end, all that is open) and hands the
// holes to the sink.
void settle_feeds(run_state *state, uint64_t now_us, bool at_end);

// Judges a datagram of the stream at place, then hands what it was to the sink, its numbers to
// the feed and its counts to the timeline. A datagram too short for a given layout is counted
// and shown, never judged.
void take_datagram(run_state *state, int place, const received_datagram *datagram);

// Reads every receiver's drop count outright: a drop after the last datagram shows only so.
void read_all_drops(run_state *state);

// Writes out what the sink holds. Returns 0, or -1 after an error line.
int flush_output(run_state *state);

// Hands the summary so far to the sink: each stream's, then each feed's.
void emit_summary(run_state *state);

// Gives the summary that SIGUSR1 asked for, if it did, and clears the request.
void answer_summary_request(run_state *state);
