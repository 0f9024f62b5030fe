// A report's figures of the run's streams and feeds, taken once at one moment and read by the
// summary, the metrics and the live view alike, so that none of them walks the sender table or
// sums a stream's senders itself. Each sender's counts are as if its stream ended now. The
// room is made at start for the most streams, senders and feeds the run can have; taking a
// snapshot allocates nothing.
#pragma once

#include <stdint.h>

#include "monitor/feed.h"
#include "monitor/histogram.h"
#include "monitor/join.h"
#include "monitor/senders.h"
#include "monitor/tracker.h"
#include "monitor/ts.h"

// The figures a counter is read from: a sender's counts (or a stream's total) and its last
// arrival.
struct counter_figures {
    track_counts counts;
    uint64_t last_utc_us;
};

struct sender_snapshot {
    const sender_entry *entry;   // who: its address, session and clock's delays
    counter_figures figures;
    bool has_numbers;            // its first and last numbers say something: not the shared
                                 // entry's interleaved senders, nor one of short datagrams alone
};

// One stream's figures: its senders in the order they came (its shared entry last), their
// sum, and what the run keeps of the stream beside them.
struct stream_snapshot {
    const sender_snapshot *senders;
    int sender_count;
    counter_figures total;       // every sender's counts summed, those taken over included;
                                 // the latest arrival of those still held
    sender_census census;
    bool heard;                  // some datagram came, from a sender held or taken over
    const sender_snapshot *latest;  // the sender whose datagram came last; null: none held
    bool host_drops_counted;
    uint64_t host_drops;         // its socket's, where it is the socket's first stream
    uint64_t fragmented;         // from a capture: datagrams split by IP not made whole
    uint64_t truncated;          // from a capture: frames cut short before the number ended
    const histogram *interarrival;  // null where arrivals are not stamped
    uint64_t interarrival_sum_us;
    const delay_record *delays;  // with the sender's clock in the payload; else null
    const join_watch *join;      // its join's latency and its rejoins
    const ts_counts *ts;         // a transport stream's counts; null: it has none
};

// One feed's figures and its lines' names, in the order of its counts.
struct feed_snapshot {
    const char *name;
    const feed_counts *counts;
    int line_count;
    const char *line_names[FEED_LINES_MAX];
    const feed_behind *behind;
    bool max_skew;               // a max skew was given: copies beyond it are counted
};

struct run_snapshot {
    stream_snapshot *streams;    // stream_room of them; stream_count taken
    int stream_room;
    int stream_count;
    sender_snapshot *senders;    // every entry of the table, and a shared one a stream
    uint32_t sender_room;
    feed_snapshot *feeds;        // feed_room of them; feed_count taken
    int feed_room;
    int feed_count;
};

// Makes the room for up to stream_room streams (and as many feeds) of the table. Returns 0,
// or -1 when memory ran out.
int snapshot_open(run_snapshot *snapshot, const sender_table *table, int stream_room);
void snapshot_close(run_snapshot *snapshot);

// Takes the senders' figures of the table's first stream_count streams (at most the room),
// in one pass over the table; the rest of each stream's figures are the caller's to set.
void snapshot_senders(run_snapshot *snapshot, const sender_table *table, int stream_count);
