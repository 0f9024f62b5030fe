// One stream's judgement of its datagrams, apart from any input or output: the numbers its
// layout reads, each sender's class, the -g check against the previous datagram, the gap's
// outage, the period's and the run's times between datagrams and delays. The run receives,
// calls stream_take, and hands what it says to the outputs and the feed.
#pragma once

#include <stdint.h>

#include "monitor/monitor.h"
#include "monitor/senders.h"
#include "monitor/ts.h"
#include "net/socket.h"

// How every stream of a run is judged.
struct judge_settings {
    bool check_gaps;     // -g
    bool per_sender;     // --per-sender: -g compares within a sender
    bool stamps;         // arrival times are kept: outages, times between datagrams, delays
};

struct stream_judge {
    const seq_layout *layout;
    seq_rules rules;
    const time_field *sent_at;    // the sender's clock in the payload; null: none
    int64_t last_seq;             // of any sender, for -g; NO_SEQUENCE before the first
    bool have_next;               // in a given layout, for -g: the number the previous
    int64_t next_seq;             // datagram of any sender made next
    uint64_t last_arrival_utc_us; // of any sender's last datagram; 0 before the first
    stats_record stats;           // the period's
    histogram interarrival;       // over the run
    uint64_t interarrival_sum_us;
    delay_record delays;          // over the run, with sent_at
    ts_stream *ts;                // the packets of a transport stream's layout; else null
};

// What one datagram was: its sender's entry and class, what it read, the -g check's gap (kind
// GAP_NONE: none) with its outage, and where its numbers stand for the stream's feed.
struct take_outcome {
    sender_entry *sender;
    seq_reading reading;
    seq_class kind;
    gap_report gap;
    bool have_outage;            // a missed gap where arrivals are stamped: the time from
    uint64_t outage_us;          // the datagram before the hole to the one that showed it
    track_place where;           // where its sender's tracker placed its numbers: the feed's
    ts_numbering numbering;      // what its number says of datagrams missed before it
    uint64_t missed_numbers;     // the numbers its sender's accounting found skipped by it,
    uint64_t late_numbers;       // and those it filled late
    uint64_t sender_before_utc_us; // its sender's previous arrival (0: none), where stamped
};

// Readies a stream's judgement for its layout (and sender's clock, or null); period_us is -s.
// ts is the caller's room for a transport stream's state, or null where the layout has none;
// pid_timeout_us how long a PID its PMTs name may be absent.
void judge_start(stream_judge *judge, const seq_layout *layout, const time_field *sent_at,
                 uint32_t period_us, ts_stream *ts, uint64_t pid_timeout_us);

// Judges one datagram of the stream (place among the run's streams) at its own time, and
// counts it for its sender in senders.
take_outcome stream_take(stream_judge *judge, const judge_settings *settings,
                         sender_table *senders, int place, const received_datagram *datagram);

// Judges the transport stream packets of a datagram stream_take judged (taken), where the
// stream has them; each error goes to report.
void stream_take_packets(stream_judge *judge, const received_datagram *datagram,
                         const take_outcome *taken, ts_report report, void *context);
