// Output: the events a run produces, and the sinks that render them. A sink is chosen once at
// start and every event goes through its table of calls; an event does not know how it is
// rendered. The text sink writes the tool's classic lines to standard output.
#pragma once

#include <stdint.h>

#include "base/format.h"
#include "monitor/feed.h"
#include "monitor/join.h"
#include "monitor/monitor.h"
#include "monitor/senders.h"
#include "monitor/snapshot.h"
#include "monitor/tracker.h"
#include "monitor/ts.h"
#include "net/address.h"
#include "net/query.h"
#include "net/socket.h"
#include "output/datagram_line.h"

// The longest name a stream or a feed may have, in bytes.
#define STREAM_NAME_MAX 100

// What the events handed to a sink are about: with --config, the stream's name and feed, which
// every line but a datagram's names; always how its numbers are laid out.
struct stream_label {
    const char *name;        // null without --config
    const char *feed;        // null: not a line of a feed
    const seq_layout *layout;
};

// Who and when of every event: the stream it is about (an event of the whole run has a label
// with no name), and when it happened on the calendar clock (a datagram's arrival, a period's
// end), which its line or object says.
struct event_head {
    const stream_label *stream;
    uint64_t at_utc_us;
};

struct datagram_event {
    const endpoint *sender;
    const endpoint *group;   // with the port
    int length_bytes;
    int64_t seq;
    uint32_t count;          // numbers it carries, where the layout has a count field
    seq_class kind;          // what it was for its sender; SEQ_SHORT: too short to read
    bool end_of_session;     // MoldUDP64's count 65535, shown as it came
};

// A missed number, a missed run or an extra datagram, as find_gap decided it; per_sender when
// the check compared within the sender.
struct gap_event {
    const endpoint *sender;
    gap_report gap;
    bool per_sender;
    seq_class kind;          // what the datagram was for its sender
    bool have_outage;        // a missed gap where arrivals are stamped: the time from the
    uint64_t outage_us;      // datagram before the hole to the one that showed it
};

// What an extra datagram was for its sender, asked for after its gap event (-v).
struct class_event {
    const endpoint *sender;
    int64_t seq;
    seq_class kind;
};

// Every sender's exact counts and the stream's other figures, as a snapshot took them, and
// the run's length so far.
struct summary_event {
    const stream_snapshot *figures;
    uint64_t duration_us;
    bool outages;              // arrivals were stamped: the counts' outages mean something
    bool from_capture;         // host drops are not known; fragments and truncated frames are
    bool rejoins_counted;      // --rejoin: the summary says how often it joined again
};

// The membership joined: the group with its port, the source of a source-specific join (or
// null), and the interface as given (or null).
struct join_event {
    const endpoint *group;
    const endpoint *source;
    const char *interface_name;
};

// A stream left and joined again after silent_us without a datagram (--rejoin).
struct rejoin_event {
    const endpoint *group;
    uint64_t silent_us;
};

// The receive buffer asked for and granted, and the setting that capped it (null: none known).
struct buffer_event {
    uint64_t requested_bytes;
    uint64_t granted_bytes;
    const char *cap_name;
    uint64_t cap_bytes;
};

// The verdict of --max-lost and why (-v).
struct verdict_event {
    uint64_t lost;             // numbers lost on the network
    uint64_t host_drops;       // datagrams this host dropped
    bool host_drops_counted;
    uint64_t allowed;
    uint64_t received;         // none: the verdict is 1 whatever was allowed
    int status;
    const char *silent_stream; // the first stream outside any feed that had nothing come; or null
    const char *silent_feed;   // the first feed none of whose lines delivered a number; or null
};

// A run of numbers lost on a feed: no line delivered them in time.
struct feed_gap_event {
    const char *feed;
    feed_hole hole;
    const seq_layout *layout;
};

// A line of a feed delivered a number the feed had decided before its time, to keep within the
// numbers it holds: the line lags more than that. Said once a feed.
struct feed_lag_event {
    const char *feed;
    const char *line;
    uint64_t window;           // the numbers the feed held
};

// A feed's figures, as a snapshot took them: its counts, its lines' names in their order,
// each line's times behind the first copy, and with a max skew the copies beyond it.
struct feed_summary_event {
    const feed_snapshot *figures;
};

// A statistics period of a feed (-s with -v): its lines' times behind the first copy, and the
// copies beyond the max skew, in the period.
struct feed_period_event {
    const char *feed;
    int line_count;
    const char *line_names[FEED_LINES_MAX];
    const histogram *behind;
    const uint64_t *beyond;
    bool max_skew;
};

// A query heard on an interface: the first of its querier and version there, or one whose
// interval changed.
struct query_event {
    const query_reading *query;
    const char *interface_name;
};

struct sink {
    void (*bound)(sink *self, const event_head *head, const endpoint *address);
    void (*gap)(sink *self, const event_head *head, const gap_event *event);
    void (*datagram)(sink *self, const event_head *head, const datagram_event *event);
    void (*stats)(sink *self, const event_head *head, const stats_report *report);
    void (*classified)(sink *self, const event_head *head, const class_event *event);
    void (*summary)(sink *self, const event_head *head, const summary_event *event);
    void (*receive_buffer)(sink *self, const event_head *head, const buffer_event *event);
    // What this host dropped in a statistics period in which it dropped any (-v).
    void (*host_drops)(sink *self, const event_head *head, uint64_t count);
    // No datagram came for silent_ms; and the first one after such a silence.
    void (*stall)(sink *self, const event_head *head, uint64_t silent_ms);
    void (*resume)(sink *self, const event_head *head, uint64_t silent_ms);
    void (*joined)(sink *self, const event_head *head, const join_event *event);
    void (*left)(sink *self, const event_head *head, const endpoint *group);
    void (*rejoined)(sink *self, const event_head *head, const rejoin_event *event);
    // Writes out what the sink holds: 0, or the system's error code of a failed write.
    int (*flush)(sink *self);
    void (*verdict)(sink *self, const event_head *head, const verdict_event *event);
    void (*feed_gap)(sink *self, const event_head *head, const feed_gap_event *event);
    void (*feed_summary)(sink *self, const event_head *head, const feed_summary_event *event);
    void (*feed_lag)(sink *self, const event_head *head, const feed_lag_event *event);
    // Null where the sink says nothing of a feed's period.
    void (*feed_period)(sink *self, const event_head *head, const feed_period_event *event);
    // The first datagram since the stream was joined came latency_us after the join (-v).
    void (*first_datagram)(sink *self, const event_head *head, uint64_t latency_us);
    void (*query)(sink *self, const event_head *head, const query_event *event);
    // No query came on the interface (null: any the system chose) for silent_us since the
    // join or the last query.
    void (*no_query)(sink *self, const event_head *head, const char *interface_name,
                     uint64_t silent_us);
    // An error of a transport stream's packets (-g).
    void (*ts_error)(sink *self, const event_head *head, const ts_error *error);
};

// The flush of a sink that writes to standard output.
int flush_standard_output(sink *self);

// The text sink; calls is first, so that the sink a call is given is the text_sink.
struct text_sink {
    sink calls;
    datagram_parts parts;
    bool verbose;            // -v: the join is said too
    bool says_no_query;      // -v or --querier-timeout: an interface without queries is said
};

void text_sink_start(text_sink *text, bool verbose);

// A number as a sink writes it: a given layout's fields are unsigned, the classic one signed.
char *put_seq(char *out, const seq_layout *layout, int64_t seq);

// "who" of a summary line or object: the sender's session after its address, where it has one.
void put_session_text(char *out, const sender_entry *entry);

// JSON Lines: one object per event on standard output (the schema is in the manual page).
struct json_sink {
    sink calls;
    uint64_t second_shown;                 // the second time_text was made for
    char time_text[UTC_TEXT_MAX];
    size_t second_length;                  // of time_text up to its microseconds
    bool have_sender;                      // the last sender, as the datagram object has it
    endpoint sender_shown;
    char sender_text[JSON_STRING_MAX(HOST_TEXT_MAX) + 32];
    size_t sender_length;
};

void json_sink_start(json_sink *json);
