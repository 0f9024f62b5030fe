#include "output/metrics.h"

#include <stdio.h>
#include <string.h>

#include "base/format.h"
#include "base/log.h"
#include "net/address.h"
#include "output/counters.h"

// The label value's text with backslash, quote and line break escaped, as the format wants.
static void put_label_value(text_buffer *out, const char *value)
{
    for (; *value; value++) {
        if (*value == '\\' || *value == '"')
            text_putc(out, '\\');
        if (*value == '\n')
            text_puts(out, "\\n");
        else
            text_putc(out, *value);
    }
}

// '{group="239.1.2.3",port="5000",interface="",source=""' without the closing brace, for more
// labels to follow: two watchers of one group on other interfaces or sources write series of
// their own.
static void put_group_labels(text_buffer *out, const metrics_view *view)
{
    char host[HOST_TEXT_MAX];
    format_host(host, view->group);
    text_puts(out, "{");
    if (view->stream_name != nullptr) {
        text_puts(out, "stream=\"");
        put_label_value(out, view->stream_name);
        text_puts(out, "\",feed=\"");
        put_label_value(out, view->feed_name != nullptr ? view->feed_name : "");
        text_puts(out, "\",");
    }
    text_puts(out, "group=\"");
    put_label_value(out, host);
    text_printf(out, "\",port=\"%u\",interface=\"", static_cast<unsigned>(endpoint_port(view->group)));
    put_label_value(out, view->interface_name != nullptr ? view->interface_name : "");
    text_puts(out, "\",source=\"");
    host[0] = '\0';
    if (view->source != nullptr)
        format_host(host, view->source);
    put_label_value(out, host);
    text_putc(out, '"');
}

// "10.0.0.7:40000", "[fd00::1]:40000", or "others" for the shared entry.
static void format_sender_label(char *out, size_t size, const sender_entry *entry)
{
    if (entry->shared) {
        snprintf(out, size, "others");
        return;
    }
    char text[ENDPOINT_TEXT_MAX];
    format_endpoint(text, &entry->address);
    snprintf(out, size, "%s", text);
}

// Microseconds as seconds with six places.
static void put_seconds(text_buffer *out, uint64_t value_us)
{
    text_printf(out, "%llu.%06llu\n", static_cast<unsigned long long>(value_us / 1000000),
            static_cast<unsigned long long>(value_us % 1000000));
}

static void put_value(text_buffer *out, const counter_row *row, const counter_figures *figures,
                      const seq_layout *layout)
{
    uint64_t value = row->value(figures);
    if (row->unit == UNIT_SEQUENCE && !layout->given)
        text_printf(out, "%lld\n", static_cast<long long>(value));
    else if (row->unit == UNIT_TIME)
        put_seconds(out, value);
    else
        text_printf(out, "%llu\n", static_cast<unsigned long long>(value));
}

// Times as a histogram of seconds, a bucket a decade from 10 us to 10 s: one series, its
// labels written by labels (without the closing brace).
static void put_histogram_of(text_buffer *out, void (*labels)(text_buffer *, const void *),
                             const void *labelled, const char *name, const histogram *times,
                             uint64_t sum_us)
{
    static const char *const bounds[] = {"1e-05", "0.0001", "0.001", "0.01", "0.1", "1", "10"};
    uint64_t limit_us = 10;
    for (const char *bound : bounds) {
        text_printf(out, "%s_bucket", name);
        labels(out, labelled);
        text_printf(out, ",le=\"%s\"} %llu\n", bound,
                static_cast<unsigned long long>(histogram_count_to(times, limit_us)));
        limit_us *= 10;
    }
    text_printf(out, "%s_bucket", name);
    labels(out, labelled);
    text_printf(out, ",le=\"+Inf\"} %llu\n%s_sum", static_cast<unsigned long long>(times->total), name);
    labels(out, labelled);
    text_puts(out, "} ");
    put_seconds(out, sum_us);
    text_printf(out, "%s_count", name);
    labels(out, labelled);
    text_printf(out, "} %llu\n", static_cast<unsigned long long>(times->total));
}

static void put_view_labels(text_buffer *out, const void *view)
{
    put_group_labels(out, static_cast<const metrics_view *>(view));
}

// One stream's series.
static void put_histogram(text_buffer *out, const metrics_view *view, const char *name,
                          const histogram *times, uint64_t sum_us)
{
    put_histogram_of(out, put_view_labels, view, name, times, sum_us);
}

static void put_header(text_buffer *out, const char *name, const char *type, const char *help)
{
    text_printf(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

static void put_sender_series(text_buffer *out, const counter_row *row, const metrics_view *view)
{
    for (int i = 0; i < view->figures->sender_count; i++) {
        const sender_snapshot *figures = &view->figures->senders[i];
        const sender_entry *entry = figures->entry;
        char sender[HOST_TEXT_MAX + 16];
        format_sender_label(sender, sizeof sender, entry);
        text_puts(out, row->metric.name);
        put_group_labels(out, view);
        text_puts(out, ",sender=\"");
        put_label_value(out, sender);
        if (view->layout->session) {
            char session[SESSION_BYTES + 1] = "";
            if (entry->have_session && !entry->shared)
                put_printable(session, entry->session, SESSION_BYTES);
            text_puts(out, "\",session=\"");
            put_label_value(out, session);
        }
        text_puts(out, "\"} ");
        put_value(out, row, &figures->figures, view->layout);
    }
}

// The stream's one series of the row, its senders summed (those whose entries were taken
// over included, so that each sum only rises), as a stream not heard yet has none of its
// senders'.
static void put_stream_series(text_buffer *out, const counter_row *row, const metrics_view *view)
{
    if (!view->figures->heard)
        return;
    text_puts(out, row->metric.name);
    put_group_labels(out, view);
    text_puts(out, "} ");
    put_value(out, row, &view->figures->total, view->layout);
}

// A feed's figures: numbers seen and lost on the feed, and what each line delivered first.
static void put_feeds(text_buffer *out, const feed_snapshot *feeds, int feed_count)
{
    if (feed_count == 0)
        return;
    // Lost falls when a late number fills a hole: it is missed - late, as for senders, so
    // that each series only rises.
    static const char *const names[] = {"mcwatch_feed_numbers_total", "mcwatch_feed_missed_total",
                                        "mcwatch_feed_late_total"};
    static const char *const helps[] = {"Numbers some line of the feed delivered.",
                                        "Numbers decided lost: no line delivered them in time.",
                                        "Numbers decided lost that a line delivered after all."};
    for (int kind = 0; kind < 3; kind++) {
        put_header(out, names[kind], "counter", helps[kind]);
        for (int i = 0; i < feed_count; i++) {
            const feed_counts *n = feeds[i].counts;
            uint64_t value = kind == 0 ? n->numbers : kind == 1 ? n->missed : n->late;
            text_printf(out, "%s{feed=\"", names[kind]);
            put_label_value(out, feeds[i].name);
            text_printf(out, "\"} %llu\n", static_cast<unsigned long long>(value));
        }
    }
    static const char *const line_names[] = {"mcwatch_feed_first_total", "mcwatch_feed_alone_total"};
    static const char *const line_helps[] = {"Numbers the line delivered before any other line.",
                                             "Numbers only this line delivered in time, or late."};
    for (int kind = 0; kind < 2; kind++) {
        put_header(out, line_names[kind], "counter", line_helps[kind]);
        for (int i = 0; i < feed_count; i++)
            for (int line = 0; line < feeds[i].line_count; line++) {
                const feed_counts *n = feeds[i].counts;
                text_printf(out, "%s{feed=\"", line_names[kind]);
                put_label_value(out, feeds[i].name);
                text_puts(out, "\",stream=\"");
                put_label_value(out, feeds[i].line_names[line]);
                text_printf(out, "\"} %llu\n", static_cast<unsigned long long>(
                                                 kind == 0 ? n->first[line] : n->alone[line]));
            }
    }
}

// A line of a feed: which feed, which stream.
struct feed_line_label {
    const feed_snapshot *feed;
    int line;
};

static void put_feed_line_labels(text_buffer *out, const void *labelled)
{
    const feed_line_label *label = static_cast<const feed_line_label *>(labelled);
    text_puts(out, "{feed=\"");
    put_label_value(out, label->feed->name);
    text_puts(out, "\",stream=\"");
    put_label_value(out, label->feed->line_names[label->line]);
    text_puts(out, "\"");
}

// Where a feed has lines to be behind one another: how far each ran behind the first copy of
// each number; and with a max skew, the copies beyond it.
static void put_feeds_behind(text_buffer *out, const feed_snapshot *feeds, int feed_count)
{
    bool header = false;
    for (int i = 0; i < feed_count; i++)
        for (int line = 0; line < feeds[i].line_count && feeds[i].line_count > 1; line++) {
            if (!header)
                put_header(out, "mcwatch_feed_behind_seconds", "histogram",
                           "Time the line's copy came after the first copy of a number two "
                           "lines or more delivered (0 for the first).");
            header = true;
            feed_line_label label = {&feeds[i], line};
            put_histogram_of(out, put_feed_line_labels, &label, "mcwatch_feed_behind_seconds",
                             &feeds[i].behind->times[line], feeds[i].behind->sum_us[line]);
        }
    header = false;
    for (int i = 0; i < feed_count; i++)
        for (int line = 0; line < feeds[i].line_count && feeds[i].max_skew; line++) {
            if (!header)
                put_header(out, "mcwatch_feed_beyond_window_total", "counter",
                           "Copies that came more than --max-skew after the first copy of their "
                           "number.");
            header = true;
            feed_line_label label = {&feeds[i], line};
            text_puts(out, "mcwatch_feed_beyond_window_total");
            put_feed_line_labels(out, &label);
            text_printf(out, "} %llu\n", static_cast<unsigned long long>(feeds[i].counts->beyond[line]));
        }
    header = false;
    for (int i = 0; i < feed_count; i++) {
        if (!feeds[i].max_skew)
            continue;
        if (!header)
            put_header(out, "mcwatch_feed_lost_in_window_total", "counter",
                       "Numbers some line delivered, but only more than --max-skew late.");
        header = true;
        text_puts(out, "mcwatch_feed_lost_in_window_total{feed=\"");
        put_label_value(out, feeds[i].name);
        text_printf(out, "\"} %llu\n", static_cast<unsigned long long>(feeds[i].counts->lost_in_window));
    }
}

// Where any stream heard from its join: how long that took, one series a stream that did.
static void put_join_latencies(text_buffer *out, const metrics_view *views, int view_count)
{
    bool header = false;
    for (int v = 0; v < view_count; v++) {
        if (!views[v].figures->join->heard)
            continue;
        if (!header)
            put_header(out, "mcwatch_join_latency_seconds", "gauge",
                       "Time from the join to the stream's first datagram after it.");
        header = true;
        text_puts(out, "mcwatch_join_latency_seconds");
        put_group_labels(out, &views[v]);
        text_puts(out, "} ");
        put_seconds(out, views[v].figures->join->latency_us);
    }
}

// '{group=...,pid="256"' for a listed PID, or pid="other" for the packets of the PIDs past
// those listed and of packets without their sync byte.
static void put_pid_labels(text_buffer *out, const metrics_view *view, int pid)
{
    put_group_labels(out, view);
    if (pid < 0)
        text_puts(out, ",pid=\"other\"");
    else
        text_printf(out, ",pid=\"%d\"", pid);
}

// A transport stream's packets per PID, and those of PIDs past the listed ones (with packets
// that had no sync byte) as pid="other".
static void put_ts_packets(text_buffer *out, const metrics_view *view, const char *name)
{
    const ts_counts *n = view->figures->ts;
    uint64_t listed = 0;
    for (int i = 0; i < n->listed; i++) {
        text_puts(out, name);
        put_pid_labels(out, view, n->listed_pids[i].pid);
        text_printf(out, "} %llu\n", static_cast<unsigned long long>(n->listed_pids[i].packets));
        listed += n->listed_pids[i].packets;
    }
    text_puts(out, name);
    put_pid_labels(out, view, -1);
    text_printf(out, "} %llu\n", static_cast<unsigned long long>(n->packets - listed));
}

// Each PID's breaks by the causes its layout can give (network and source where datagrams
// are numbered, unknown where not), but the null PID's, which is not judged.
static void put_ts_breaks(text_buffer *out, const metrics_view *view, const char *name)
{
    const ts_counts *n = view->figures->ts;
    bool numbered = view->layout->payload == PAYLOAD_RTP_TS;
    for (int i = 0; i < n->listed; i++)
        for (int cause = 0; cause < TS_CAUSES; cause++) {
            if (n->listed_pids[i].pid == TS_NULL_PID || (cause == TS_UNKNOWN) == numbered)
                continue;
            text_puts(out, name);
            put_pid_labels(out, view, n->listed_pids[i].pid);
            text_printf(out, ",cause=\"%s\"} %llu\n", ts_cause_name(ts_cause(cause)),
                        static_cast<unsigned long long>(n->listed_pids[i].continuity[cause]));
        }
}

// The errors of each check, one series a row of the transport stream's counters that has one.
static void put_ts_errors(text_buffer *out, const metrics_view *view, const char *name)
{
    for (int i = 0; i < TS_COUNTER_ROWS; i++) {
        const ts_counter_row *row = &ts_counter_rows[i];
        if (row->check < 0)
            continue;
        text_puts(out, name);
        put_group_labels(out, view);
        text_printf(out, ",check=\"%s\"} %llu\n", ts_check_name(ts_check(row->check)),
                    static_cast<unsigned long long>(row->value(view->figures->ts)));
    }
}

// The transport streams' families, each written where some stream has one.
static void put_ts_metrics(text_buffer *out, const metrics_view *views, int view_count)
{
    struct family {
        const char *name;
        const char *help;
        void (*put)(text_buffer *out, const metrics_view *view, const char *name);
    };
    static const family families[] = {
        {"mcwatch_ts_packets_total", "Transport stream packets, null packets included.",
         put_ts_packets},
        {"mcwatch_ts_continuity_errors_total",
         "Breaks in a PID's continuity counter, one each whatever it hid, by their cause.",
         put_ts_breaks},
        {"mcwatch_ts_errors_total", "Transport stream errors of each check.", put_ts_errors},
    };
    for (const family &f : families) {
        bool header = false;
        for (int v = 0; v < view_count; v++) {
            if (views[v].figures->ts == nullptr)
                continue;
            if (!header)
                put_header(out, f.name, "counter", f.help);
            header = true;
            f.put(out, &views[v], f.name);
        }
    }
}

static uint64_t host_drops_of(const stream_snapshot *figures) { return figures->host_drops; }
static uint64_t rejoins_of(const stream_snapshot *figures) { return figures->join->rejoins; }

// A counter the run keeps a stream (not a sender): one series a stream.
static void put_stream_counter(text_buffer *out, const metrics_view *views, int view_count,
                               const char *name, const char *help,
                               uint64_t (*count)(const stream_snapshot *figures))
{
    put_header(out, name, "counter", help);
    for (int v = 0; v < view_count; v++) {
        text_puts(out, name);
        put_group_labels(out, &views[v]);
        text_printf(out, "} %llu\n", static_cast<unsigned long long>(count(views[v].figures)));
    }
}

// A metric's family is written together, its HELP and TYPE once, every stream's series after.
static void put_metrics(text_buffer *out, const metrics_view *views, int view_count,
                        const feed_snapshot *feeds, int feed_count)
{
    const counter_order *order = counter_order_of(COUNTERS_METRIC);
    for (int i = 0; i < order->count; i++) {
        const counter_row *row = &counter_rows[order->rows[i]];
        bool header = false;
        for (int v = 0; v < view_count; v++) {
            bool summed = views[v].senders_summed;
            if (!counter_shown_for(&row->metric, views[v].layout, true, !summed))
                continue;
            if (!header)
                put_header(out, row->metric.name, row->metric_type, row->metric_help);
            header = true;
            (summed ? put_stream_series : put_sender_series)(out, row, &views[v]);
        }
    }
    if (view_count > 0 && views[0].figures->host_drops_counted)
        put_stream_counter(out, views, view_count, "mcwatch_host_drops_total",
                           "Datagrams this host dropped for a full receive queue.",
                           host_drops_of);
    if (view_count > 0 && views[0].figures->interarrival != nullptr) {
        put_header(out, "mcwatch_interarrival_seconds", "histogram",
                   "Time between one datagram's arrival and the next's.");
        for (int v = 0; v < view_count; v++)
            put_histogram(out, &views[v], "mcwatch_interarrival_seconds",
                          views[v].figures->interarrival, views[v].figures->interarrival_sum_us);
    }
    bool delays = false;
    for (int v = 0; v < view_count; v++)
        if (views[v].figures->delays != nullptr) {
            if (!delays)
                put_header(out, "mcwatch_delay_seconds", "histogram",
                           "One-way delay from the sender's clock to the arrival.");
            delays = true;
            const delay_record *delays = views[v].figures->delays;
            put_histogram(out, &views[v], "mcwatch_delay_seconds", &delays->delays, delays->sum_us);
        }
    if (delays) {
        put_header(out, "mcwatch_clock_skew_total", "counter",
                   "Datagrams stamped by the sender after their arrival.");
        for (int v = 0; v < view_count; v++)
            if (views[v].figures->delays != nullptr) {
                text_puts(out, "mcwatch_clock_skew_total");
                put_group_labels(out, &views[v]);
                text_printf(out, "} %llu\n",
                            static_cast<unsigned long long>(views[v].figures->delays->skew_count));
            }
    }
    put_header(out, "mcwatch_start_time_seconds", "gauge",
               "When the watch started, in seconds since 1970.");
    for (int v = 0; v < view_count; v++) {
        text_puts(out, "mcwatch_start_time_seconds");
        put_group_labels(out, &views[v]);
        text_printf(out, "} %llu.%06llu\n", static_cast<unsigned long long>(views[v].start_utc_us / 1000000),
                static_cast<unsigned long long>(views[v].start_utc_us % 1000000));
    }
    put_join_latencies(out, views, view_count);
    put_ts_metrics(out, views, view_count);
    // With --rejoin: how often each stream was left and joined again after a silence.
    if (view_count > 0 && views[0].rejoins_counted)
        put_stream_counter(out, views, view_count, "mcwatch_rejoins_total",
                           "Times the stream was left and joined again after a silence.",
                           rejoins_of);
    put_feeds(out, feeds, feed_count);
    put_feeds_behind(out, feeds, feed_count);
}

static void put_querier_series(text_buffer *out, const char *interface, const char *querier,
                               const char *version, uint64_t queries)
{
    text_puts(out, "mcwatch_queries_total{interface=\"");
    put_label_value(out, interface);
    text_printf(out, "\",querier=\"%s\",version=\"%s\"} %llu\n", querier, version,
                static_cast<unsigned long long>(queries));
}

// Each querier's queries, and when each interface last had one.
static void put_queriers(text_buffer *out, const metrics_queriers *queriers)
{
    const querier_table *table = queriers->table;
    if (table->count == 0)
        return;
    put_header(out, "mcwatch_queries_total", "counter", "Multicast queries heard from the querier.");
    for (int i = 0; i < table->count; i++) {
        const querier_entry *entry = &table->entries[i];
        query_reading as_read = {};
        as_read.version = entry->version;
        char host[HOST_TEXT_MAX];
        format_query_host(host, &as_read, entry->address);
        put_querier_series(out, queriers->interface_names[i], host,
                           query_version_name(entry->version), entry->queries);
    }
    if (table->other_queries > 0)
        put_querier_series(out, "", "others", "", table->other_queries);
    put_header(out, "mcwatch_last_query_timestamp_seconds", "gauge",
               "When the interface's last multicast query came, in seconds since 1970.");
    for (int i = 0; i < table->count; i++) {
        const char *name = queriers->interface_names[i];
        bool said = false;
        uint64_t last_utc_us = 0;
        for (int j = 0; j < table->count; j++) {
            bool same = strcmp(queriers->interface_names[j], name) == 0;
            said = said || (same && j < i);
            if (same && table->entries[j].last_utc_us > last_utc_us)
                last_utc_us = table->entries[j].last_utc_us;
        }
        if (said)
            continue;
        text_puts(out, "mcwatch_last_query_timestamp_seconds{interface=\"");
        put_label_value(out, name);
        text_puts(out, "\"} ");
        put_seconds(out, last_utc_us);
    }
}

// The exporter's own series: which build serves, and since when, as exporters are expected to
// say (a restart shows as a new start time, a rollout as a new version).
static void put_self(text_buffer *out, const metrics_self *self)
{
    put_header(out, "mcwatch_build_info", "gauge", "The version of mcwatch that serves these series.");
    text_puts(out, "mcwatch_build_info{version=\"");
    put_label_value(out, self->version);
    text_puts(out, "\"} 1\n");
    put_header(out, "process_start_time_seconds", "gauge",
               "Start time of the process since unix epoch in seconds.");
    text_puts(out, "process_start_time_seconds ");
    put_seconds(out, self->start_utc_us);
}

void render_metrics(text_buffer *out, const metrics_view *views, int view_count,
                    const feed_snapshot *feeds, int feed_count, const metrics_queriers *queriers,
                    const metrics_self *self)
{
    text_clear(out);
    put_metrics(out, views, view_count, feeds, feed_count);
    if (queriers != nullptr)
        put_queriers(out, queriers);
    if (self != nullptr)
        put_self(out, self);
}

int write_metrics_file(const char *path, const text_buffer *text)
{
    return write_text_file(path, text);
}
