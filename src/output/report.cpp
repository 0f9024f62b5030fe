#include "output/report.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base/format.h"
#include "net/address.h"
#include "output/counters.h"
#include "output/report_svg.h"
#include "output/sink.h"

// One colour a meaning, on the whole page: received blue, missed red, late orange, host drops
// purple, outages a pale red; dark enough to print, told apart by more than hue (bars, lines,
// shading).
static const char page_style[] =
    "body{font:14px/1.4 sans-serif;margin:1.5em;color:#222;background:#fff}"
    "h1{font-size:1.5em}h2{font-size:1.2em;margin-top:2em}"
    "table{border-collapse:collapse}td,th{border:1px solid #bbb;padding:2px 6px;text-align:right}"
    "td:first-child,th:first-child{text-align:left}tr.bad td{background:#fbe3e3}"
    "dl{display:grid;grid-template-columns:max-content auto;gap:2px 12px}dt{font-weight:bold}"
    "dd{margin:0}.verdict-1{color:#b00;font-weight:bold}"
    "svg text{font:11px sans-serif;fill:#222}.axis{stroke:#444;stroke-width:1}"
    ".received{stroke:#1f5fa8;fill:#1f5fa8}polyline.received{fill:none;stroke-width:1.5}"
    ".missed{fill:#c62828}svg text.missed-text{fill:#c62828}.late{fill:#ef8a00}"
    ".drops{fill:#6a3d9a}.outage{fill:#c62828;fill-opacity:.15}"
    ".dash2{stroke-dasharray:6 3}.dash3{stroke-dasharray:2 2}.dash4{stroke-dasharray:8 2 2 2}"
    ".key span{display:inline-block;width:1em;height:.7em;margin:0 .3em 0 1em}"
    ".key .received{background:#1f5fa8}.key .missed{background:#c62828}"
    ".key .outage{background:#f4d4d4}.key .drops{background:#6a3d9a}.key .late{background:#ef8a00}"
    ".alone{fill:#1f5fa8}"
    "@media print{body{margin:0}h2{break-before:auto}svg{break-inside:avoid}}";

// A stream's figures for the table and its place in the order, worst first.
struct stream_figures {
    int index;
    counter_figures total;
    uint64_t host_drops;
    char name[STREAM_NAME_MAX + ENDPOINT_TEXT_MAX];
};

static void name_of(const report_stream *stream, char *out, size_t size)
{
    if (stream->name != nullptr) {
        snprintf(out, size, "%s", stream->name);
        return;
    }
    char text[ENDPOINT_TEXT_MAX];
    format_endpoint(text, stream->group);
    snprintf(out, size, "%s", text);
}

// Worst first: more lost, then more dropped by this host, then a longer outage; then by name.
static int worse_first(const void *a, const void *b)
{
    const stream_figures *x = static_cast<const stream_figures *>(a);
    const stream_figures *y = static_cast<const stream_figures *>(b);
    const track_counts *p = &x->total.counts, *q = &y->total.counts;
    if (p->lost != q->lost)
        return p->lost > q->lost ? -1 : 1;
    if (x->host_drops != y->host_drops)
        return x->host_drops > y->host_drops ? -1 : 1;
    if (p->longest_outage_us != q->longest_outage_us)
        return p->longest_outage_us > q->longest_outage_us ? -1 : 1;
    return strcmp(x->name, y->name);
}

static void put_value(text_buffer *out, const counter_row *row, const counter_figures *figures,
                      const seq_layout *layout)
{
    char text[UTC_TEXT_MAX];
    char *end = put_counter_text(text, row, figures, layout);
    text_append(out, text, static_cast<size_t>(end - text));
}

// Why the verdict is what it is, in the words of its line: nothing came on the run, or on a
// stream or feed, or the loss against what --max-lost allows.
static void put_verdict_reason(text_buffer *out, const verdict_event *verdict, bool so_far)
{
    if (verdict->received == 0) {
        text_puts(out, ": no datagram came");
    } else if (verdict->silent_stream != nullptr || verdict->silent_feed != nullptr) {
        text_printf(out, ": nothing came on %s ", verdict->silent_stream != nullptr ? "stream" : "feed");
        put_html(out, verdict->silent_stream != nullptr ? verdict->silent_stream : verdict->silent_feed);
    } else {
        const char *judged = verdict->status == 0 ? "within" : so_far ? "more than" : "judged lost by";
        text_printf(out, ": %s --max-lost %llu", judged,
                    static_cast<unsigned long long>(verdict->allowed));
    }
}

static void put_header(text_buffer *out, const report_run *run, uint64_t lost, uint64_t drops)
{
    text_puts(out, "<h1>mcwatch report</h1>\n<dl>\n<dt>Watched</dt><dd><code>");
    put_html(out, run->command_line);
    text_puts(out, "</code></dd>\n<dt>Host</dt><dd>");
    put_html(out, run->host_name);
    char from[UTC_TEXT_MAX], to[UTC_TEXT_MAX];
    *put_utc(from, run->start_utc_us) = '\0';
    *put_utc(to, run->end_utc_us) = '\0';
    text_printf(out, "</dd>\n<dt>%s</dt><dd>%s to %s (", run->from_capture ? "Capture" : "Run",
                from, to);
    put_span(out, run->end_utc_us > run->start_utc_us ? run->end_utc_us - run->start_utc_us : 0);
    text_puts(out, ")</dd>\n");
    if (run->cut != nullptr) {
        text_puts(out, "<dt>Cut</dt><dd id=\"cut\" class=\"verdict-1\">");
        put_html(out, run->cut);
        text_puts(out, "; this page is of what was read before</dd>\n");
    }
    text_printf(out, "<dt>Verdict</dt><dd id=\"verdict\" class=\"verdict-%d\">",
                run->refresh_seconds > 0 ? 0 : run->status);
    text_printf(out, "%llu numbers lost", static_cast<unsigned long long>(lost));
    if (!run->from_capture)
        text_printf(out, ", %llu datagrams dropped by this host", static_cast<unsigned long long>(drops));
    if (run->refresh_seconds > 0)
        text_puts(out, " so far");
    if (run->verdict != nullptr)
        put_verdict_reason(out, run->verdict, run->refresh_seconds > 0);
    // A run that failed says so where the verdict is read, whether or not it was judged.
    if ((run->verdict != nullptr || run->status != 0) && run->refresh_seconds == 0)
        text_printf(out, " (exit status %d)", run->status);
    text_puts(out, "</dd>\n</dl>\n");
}

// The table's columns, in the text's order: a counter any stream shows has one, and a stream
// it does not apply to shows a dash. Decided once a page, not once a cell: a thousand streams'
// table would otherwise ask every stream for every cell.
struct table_columns {
    int count;
    const counter_row *rows[COUNTER_ROWS];
};

static table_columns columns_of(const report_stream *streams, int count)
{
    table_columns columns = {};
    const counter_order *order = counter_order_of(COUNTERS_TEXT);
    for (int i = 0; i < order->count; i++) {
        const counter_row *row = &counter_rows[order->rows[i]];
        bool shown = false;
        for (int s = 0; s < count && !shown; s++)
            shown = counter_shown_for(&row->text, streams[s].layout, streams[s].outages, false);
        if (shown)
            columns.rows[columns.count++] = row;
    }
    return columns;
}

static void put_table_head(text_buffer *out, const table_columns *columns)
{
    text_puts(out, "<table id=\"streams\">\n<tr><th>stream</th><th>feed</th>");
    for (int i = 0; i < columns->count; i++)
        text_printf(out, "<th data-counter=\"%s\">%s</th>", columns->rows[i]->text.name,
                    columns->rows[i]->text.name);
    text_puts(out, "<th data-counter=\"dropped\">dropped by this host</th><th>delay p50 / p99"
                   "</th></tr>\n");
}

static void put_table_row(text_buffer *out, const report_stream *streams,
                          const table_columns *columns, const stream_figures *figures,
                          bool has_section)
{
    const report_stream *stream = &streams[figures->index];
    // A cell's counter is its column's: a row of a thousand streams' table stays short.
    text_printf(out, "<tr%s><td>", figures->total.counts.lost != 0 ? " class=\"bad\"" : "");
    if (has_section)
        text_printf(out, "<a href=\"#s%d\">", figures->index);
    put_html(out, figures->name);
    text_puts(out, has_section ? "</a></td><td>" : "</td><td>");
    if (stream->feed != nullptr)
        put_html(out, stream->feed);
    text_puts(out, "</td>");
    for (int i = 0; i < columns->count; i++) {
        const counter_row *row = columns->rows[i];
        text_puts(out, "<td>");
        if (counter_shown_for(&row->text, stream->layout, stream->outages, false))
            put_value(out, row, &figures->total, stream->layout);
        else
            text_puts(out, "&ndash;");
        text_puts(out, "</td>");
    }
    if (stream->host_drops_counted)
        text_printf(out, "<td>%llu</td>",
                    static_cast<unsigned long long>(stream->host_drops));
    else
        text_puts(out, "<td>not known</td>");
    text_puts(out, "<td>");
    if (stream->delays != nullptr && stream->delays->delays.total != 0) {
        delay_figures delay = delay_figures_of(stream->delays);
        put_span(out, delay.p50_us);
        text_puts(out, " / ");
        put_span(out, delay.p99_us);
    }
    text_puts(out, "</td></tr>\n");
}

static void put_feeds_table(text_buffer *out, const report_feed *feeds, int feed_count,
                            const stream_figures *names, int stream_count)
{
    if (feed_count == 0)
        return;
    // --max-skew is the run's: every feed counts lost in window, or none does.
    bool max_skew = feeds[0].max_skew;
    text_printf(out, "<h2>Feeds</h2>\n<table id=\"feeds\">\n<tr><th>feed</th><th>numbers</th>"
                     "<th>missed</th><th>late</th><th>lost</th>%s<th>each line: first / alone"
                     "</th></tr>\n", max_skew ? "<th>lost in window</th>" : "");
    for (int f = 0; f < feed_count; f++) {
        const feed_counts *counts = feeds[f].counts;
        text_puts(out, "<tr data-feed=\"");
        put_html(out, feeds[f].name);
        text_printf(out, "\"%s><td>", counts->lost != 0 ? " class=\"bad\"" : "");
        put_html(out, feeds[f].name);
        text_printf(out, "</td><td>%llu</td><td>%llu</td><td>%llu</td><td>%llu</td><td>", static_cast<unsigned long long>(counts->numbers),
                    static_cast<unsigned long long>(counts->missed),
                    static_cast<unsigned long long>(counts->late),
                    static_cast<unsigned long long>(counts->lost));
        if (max_skew)
            text_printf(out, "%llu</td><td>", static_cast<unsigned long long>(counts->lost_in_window));
        for (int l = 0; l < feeds[f].line_count; l++) {
            for (int s = 0; s < stream_count; s++)
                if (names[s].index == feeds[f].lines[l])
                    put_html(out, names[s].name);
            text_printf(out, " %llu / %llu%s", static_cast<unsigned long long>(counts->first[l]),
                        static_cast<unsigned long long>(counts->alone[l]),
                        l + 1 < feeds[f].line_count ? "; " : "");
        }
        text_puts(out, "</td></tr>\n");
    }
    text_puts(out, "</table>\n");
}

static const char key_text[] =
    "<p class=\"key\"><span class=\"received\">&nbsp;</span>datagrams received"
    "<span class=\"missed\">&nbsp;</span>numbers found missed (one is a visible bar)"
    "<span class=\"late\">&nbsp;</span>numbers that came late (filling a hole)"
    "<span class=\"outage\">&nbsp;</span>outage (from a sender's datagram before a hole to the one "
    "after)<span class=\"drops\">&nbsp;</span>datagrams dropped by this host</p>\n";

static void put_section(text_buffer *out, const report_axis *axis, const report_stream *stream,
                        const stream_figures *figures)
{
    text_printf(out, "<section id=\"s%d\">\n<h2>", figures->index);
    put_html(out, figures->name);
    text_puts(out, "</h2>\n");
    const timeline *line = stream->line;
    const char *name = figures->name;
    put_timeline_svg(out, axis, &line, &name, 1);
    if (stream->interarrival != nullptr && stream->interarrival->total != 0)
        put_histogram_svg(out, stream->interarrival, "time between datagrams");
    if (stream->delays != nullptr && stream->delays->delays.total != 0) {
        delay_figures delay = delay_figures_of(stream->delays);
        text_puts(out, "<p>Delay from the sender's clock: min ");
        put_span(out, delay.min_us);
        text_puts(out, ", p50 ");
        put_span(out, delay.p50_us);
        text_puts(out, ", p99 ");
        put_span(out, delay.p99_us);
        text_puts(out, ", max ");
        put_span(out, delay.max_us);
        text_printf(out, "; clock skew %llu times, at most ",
                    static_cast<unsigned long long>(delay.skew_count));
        put_span(out, delay.skew_max_us);
        text_puts(out, "</p>\n");
    }
    text_puts(out, "</section>\n");
}

// Each line's times behind the first copy of the numbers two lines or more delivered: a row
// each in a table, and a histogram of each line that was ever behind.
static void put_behind(text_buffer *out, const report_feed *feed, const char *const *names)
{
    if (feed->line_count < 2)
        return;
    text_printf(out, "<table class=\"behind\">\n<tr><th>line</th><th>alone</th><th>behind p50</th>"
                     "<th>p99</th><th>max</th>%s</tr>\n", feed->max_skew ? "<th>beyond</th>" : "");
    for (int l = 0; l < feed->line_count; l++) {
        const histogram *times = &feed->behind->times[l];
        text_puts(out, "<tr><td>");
        put_html(out, names[l]);
        text_printf(out, "</td><td>%llu</td>", static_cast<unsigned long long>(feed->counts->alone[l]));
        if (times->total == 0) {
            text_puts(out, "<td>none</td><td>&ndash;</td><td>&ndash;</td>");
        } else {
            const uint64_t shown_us[3] = {histogram_percentile_us(times, 50),
                                          histogram_percentile_us(times, 99), times->max_us};
            for (uint64_t span_us : shown_us) {
                text_puts(out, "<td>");
                put_span(out, span_us);
                text_puts(out, "</td>");
            }
        }
        if (feed->max_skew)
            text_printf(out, "<td>%llu</td>", static_cast<unsigned long long>(feed->counts->beyond[l]));
        text_puts(out, "</tr>\n");
    }
    text_puts(out, "</table>\n");
    for (int l = 0; l < feed->line_count; l++) {
        // A line only ever first is 0 behind throughout: its one bar says nothing.
        const histogram *times = &feed->behind->times[l];
        if (times->total == 0 || times->max_us == 0)
            continue;
        text_puts(out, "<h3>");
        put_html(out, names[l]);
        text_puts(out, " behind the first copy</h3>\n");
        put_histogram_svg(out, times, "time behind the first copy");
    }
}

// A feed's lines on one axis: what each delivered, and what each missed.
static void put_feed_section(text_buffer *out, const report_axis *axis,
                             const report_stream *streams, const report_feed *feed,
                             const stream_figures *names, int stream_count)
{
    const timeline *lines[FEED_LINES_MAX];
    const char *line_names[FEED_LINES_MAX];
    for (int l = 0; l < feed->line_count; l++) {
        lines[l] = streams[feed->lines[l]].line;
        line_names[l] = "";
        for (int s = 0; s < stream_count; s++)
            if (names[s].index == feed->lines[l])
                line_names[l] = names[s].name;
    }
    text_puts(out, "<section class=\"feed\">\n<h2>Feed ");
    put_html(out, feed->name);
    text_printf(out, ": %llu numbers lost</h2>\n",
                static_cast<unsigned long long>(feed->counts->lost));
    put_timeline_svg(out, axis, lines, line_names, feed->line_count);
    if (feed->decided != nullptr)
        put_feed_svg(out, axis, feed->decided, line_names, feed->line_count);
    put_behind(out, feed, line_names);
    text_puts(out, "</section>\n");
}

void render_report(text_buffer *out, const report_run *run, const report_stream *streams,
                   int stream_count, const report_feed *feeds, int feed_count)
{
    text_clear(out);
    stream_figures *figures =
        static_cast<stream_figures *>(calloc(static_cast<size_t>(stream_count) + 1, sizeof *figures));
    const timeline **lines = static_cast<const timeline **>(
        calloc(static_cast<size_t>(stream_count + feed_count) + 1, sizeof *lines));
    if (figures == nullptr || lines == nullptr) {
        free(figures);
        free(lines);
        out->failed = true;
        return;
    }
    uint64_t lost = 0, drops = 0;
    for (int i = 0; i < stream_count; i++) {
        sender_census census;
        figures[i].index = i;
        figures[i].total = {senders_total(streams[i].senders, streams[i].stream, &census), 0};
        figures[i].host_drops = streams[i].host_drops;
        name_of(&streams[i], figures[i].name, sizeof figures[i].name);
        lines[i] = streams[i].line;
        if (streams[i].feed == nullptr)
            add_saturating(&lost, figures[i].total.counts.lost);
        add_saturating(&drops, streams[i].host_drops);
    }
    for (int f = 0; f < feed_count; f++)
        add_saturating(&lost, feeds[f].counts->lost);
    qsort(figures, static_cast<size_t>(stream_count), sizeof *figures, worse_first);
    int timelines = stream_count;
    for (int f = 0; f < feed_count; f++)
        if (feeds[f].decided != nullptr)
            lines[timelines++] = &feeds[f].decided->decided;
    report_axis axis = report_axis_of(lines, timelines, run->start_utc_us, run->end_utc_us);
    text_puts(out, "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n");
    if (run->refresh_seconds > 0)
        text_printf(out, "<meta http-equiv=\"refresh\" content=\"%d\">\n", run->refresh_seconds);
    text_printf(out, "<title>mcwatch report</title>\n<style>%s</style>\n</head>\n<body>\n",
                page_style);
    put_header(out, run, lost, drops);
    table_columns columns = columns_of(streams, stream_count);
    put_table_head(out, &columns);
    for (int i = 0; i < stream_count; i++)
        put_table_row(out, streams, &columns, &figures[i], i < REPORT_SECTIONS_MAX);
    text_puts(out, "</table>\n");
    put_feeds_table(out, feeds, feed_count, figures, stream_count);
    uint64_t interval_us = 0;
    for (int i = 0; i < stream_count; i++)
        interval_us = lines[i]->interval_us > interval_us ? lines[i]->interval_us : interval_us;
    text_printf(out, "<p>Timelines share one axis; a stream's counts are kept in %d intervals, "
                     "now up to ", TIMELINE_INTERVALS);
    put_span(out, interval_us);
    text_printf(out, " each. Sections follow for the %d worst streams.</p>\n", REPORT_SECTIONS_MAX);
    text_puts(out, key_text);
    for (int f = 0; f < feed_count; f++)
        put_feed_section(out, &axis, streams, &feeds[f], figures, stream_count);
    for (int i = 0; i < stream_count && i < REPORT_SECTIONS_MAX; i++)
        put_section(out, &axis, &streams[figures[i].index], &figures[i]);
    text_puts(out, "</body>\n</html>\n");
    free(figures);
    free(lines);
}
