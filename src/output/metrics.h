// Prometheus metrics in the text format: rendered into memory, then written whole to a file for
// node_exporter's textfile collector (a temporary file first, so a scrape never sees half), or
// served as a page.
#pragma once

#include <stdint.h>

#include "base/text.h"
#include "monitor/feed.h"
#include "monitor/histogram.h"
#include "monitor/querier.h"
#include "monitor/senders.h"
#include "monitor/snapshot.h"
#include "monitor/ts.h"
#include "net/query_socket.h"
#include "net/socket.h"

// One stream's series: its figures, as a snapshot took them, and its labels.
struct metrics_view {
    const stream_snapshot *figures;
    const char *stream_name;         // with --config: the labels stream and feed; else null
    const char *feed_name;           // null: not a line of a feed
    const endpoint *group;           // with the port
    const endpoint *source;          // of a source-specific join, or null
    const char *interface_name;      // -i as given, or null
    uint64_t start_utc_us;
    const seq_layout *layout;
    bool senders_summed;             // one series of each counter for all its senders, whose
                                     // last sequence number is then none
    bool rejoins_counted;            // --rejoin: how often the stream was joined again
};

// What a served page adds: which build serves, and since when.
struct metrics_self {
    const char *version;
    uint64_t start_utc_us;
};

// The queriers heard, and the name of each entry's interface.
struct metrics_queriers {
    const querier_table *table;
    const char (*interface_names)[INTERFACE_NAME_MAX];
};

// Renders every stream's and every feed's series into out (emptied first), the queriers'
// where any was heard, and the self series where self is given.
void render_metrics(text_buffer *out, const metrics_view *views, int view_count,
                    const feed_snapshot *feeds, int feed_count, const metrics_queriers *queriers,
                    const metrics_self *self);

// Writes rendered text to path, whole. Returns 0, or -1 after an error line.
int write_metrics_file(const char *path, const text_buffer *text);
