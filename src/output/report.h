// The report of a run or a capture: one HTML page, with its pictures drawn as inline SVG and
// its style inline, that needs nothing else to be read: a header saying what was watched and
// the verdict, a table of every stream and feed worst first, and for the worst streams a
// timeline over the run, the times between datagrams and the delays.
#pragma once

#include <stdint.h>

#include "base/text.h"
#include "monitor/feed.h"
#include "monitor/feed_timeline.h"
#include "monitor/histogram.h"
#include "monitor/senders.h"
#include "monitor/timeline.h"
#include "net/endpoint.h"
#include "output/sink.h"

// The streams given a section of their own, worst first; the table lists every stream.
#define REPORT_SECTIONS_MAX 30
// The columns a timeline is drawn in at most: intervals are summed into them.
#define REPORT_COLUMNS 256

// One stream's figures, as the run's record holds them.
struct report_stream {
    const char *name;                // null without --config: named by its group and port
    const char *feed;                // null: not a line of a feed
    const endpoint *group;           // with the port
    const sender_table *senders;
    int stream;                      // its place, whose senders these are
    const seq_layout *layout;
    bool outages;                    // arrivals were stamped
    bool host_drops_counted;
    uint64_t host_drops;
    const timeline *line;
    const histogram *interarrival;   // null where arrivals were not stamped
    const delay_record *delays;      // with --sent-at, else null
};

struct report_feed {
    const char *name;
    const feed_counts *counts;
    int line_count;
    int lines[FEED_LINES_MAX];       // the report_streams that are its lines, in order
    const feed_behind *behind;       // each line's times behind the first copy
    bool max_skew;                   // --max-skew: beyond and lost in window are counted
    const feed_timeline *decided;    // its decisions over the run
};

// What was watched, where, when, and how the run ended.
struct report_run {
    const char *command_line;
    const char *host_name;
    uint64_t start_utc_us;
    uint64_t end_utc_us;
    bool from_capture;
    const verdict_event *verdict;    // with --max-lost, the verdict so far and why; else null
    int status;                      // the exit status; for a page served live, ignored
    int refresh_seconds;             // a page served live reloads itself (its verdict is the
                                     // run's so far); 0: a file
    const char *cut;                 // where and why a capture's reading stopped at a fault;
                                     // null: read whole
};

// Renders the page into out (emptied first).
void render_report(text_buffer *out, const report_run *run, const report_stream *streams,
                   int stream_count, const report_feed *feeds, int feed_count);
