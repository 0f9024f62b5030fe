// Prometheus metrics in the text format, for node_exporter's textfile collector: the file is
// written whole, into a temporary file in the same folder first, so a scrape never sees half.
#pragma once

#include <stdint.h>

#include "monitor/histogram.h"
#include "monitor/senders.h"
#include "net/socket.h"

struct metrics_view {
    const sender_table *senders;
    const endpoint *group;           // with the port
    const endpoint *source;          // of a source-specific join, or null
    const char *interface_name;      // -i as given, or null
    bool host_drops_counted;
    uint64_t host_drops;
    uint64_t start_utc_us;
    const seq_layout *layout;
    const histogram *interarrival;   // the times between datagrams, or null where not stamped
    uint64_t interarrival_sum_us;
    const delay_record *delays;      // with --sent-at, else null
};

// Writes every metric to path. Returns 0, or -1 after an error line.
int write_metrics(const char *path, const metrics_view *view);
