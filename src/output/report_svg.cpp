#include "output/report_svg.h"

#include <stdio.h>
#include <string.h>

#include "base/format.h"
#include "output/report.h"

// The plot's place in the picture, in pixels.
#define SVG_WIDTH 960
#define PLOT_LEFT 80
#define PLOT_RIGHT 20
#define PLOT_TOP 16
#define PLOT_HEIGHT 120
#define MISSED_TOP 146       // the band of missed numbers under the plot
#define MISSED_HEIGHT 30
#define LATE_HEIGHT 8        // the strip of late numbers over the band
static_assert(PLOT_TOP + PLOT_HEIGHT + LATE_HEIGHT < MISSED_TOP, "the strip fits between");
#define SVG_HEIGHT 210
#define PLOT_WIDTH (SVG_WIDTH - PLOT_LEFT - PLOT_RIGHT)
// A row of the feed's picture, and the tallest bar in it, under its label.
#define FEED_ROW_HEIGHT 34
#define FEED_BAR_HEIGHT 18

void put_html(text_buffer *out, const char *text)
{
    for (; *text; text++) {
        switch (*text) {
        case '&': text_puts(out, "&amp;"); break;
        case '<': text_puts(out, "&lt;"); break;
        case '>': text_puts(out, "&gt;"); break;
        case '"': text_puts(out, "&quot;"); break;
        case '\'': text_puts(out, "&#39;"); break;
        default: text_putc(out, *text);
        }
    }
}

void put_time_of_day(text_buffer *out, uint64_t utc_us, bool show_ms)
{
    uint64_t second = utc_us / 1000000 % 86400;
    text_printf(out, "%02u:%02u:%02u", static_cast<unsigned>(second / 3600),
                static_cast<unsigned>(second / 60 % 60), static_cast<unsigned>(second % 60));
    if (show_ms)
        text_printf(out, ".%03u", static_cast<unsigned>(utc_us / 1000 % 1000));
}

void put_span(text_buffer *out, uint64_t span_us)
{
    if (span_us < 1000)
        text_printf(out, "%llu us", static_cast<unsigned long long>(span_us));
    else if (span_us < 1000000)
        text_printf(out, "%.3g ms", static_cast<double>(span_us) / 1e3);
    else
        text_printf(out, "%.3g s", static_cast<double>(span_us) / 1e6);
}

report_axis report_axis_of(const timeline *const *lines, int line_count, uint64_t origin_utc_us,
                           uint64_t end_utc_us)
{
    uint64_t column_us = 1;
    for (int i = 0; i < line_count; i++)
        if (lines[i]->interval_us > column_us)
            column_us = lines[i]->interval_us;
    uint64_t span_us = end_utc_us > origin_utc_us ? end_utc_us - origin_utc_us : 0;
    // Every interval is the first one doubled: so is a column, and it holds whole intervals.
    while (span_us / column_us >= REPORT_COLUMNS)
        column_us *= 2;
    int columns = static_cast<int>(span_us / column_us) + 1;
    for (int i = 0; i < line_count; i++) {
        int spanned = static_cast<int>(
            (static_cast<uint64_t>(lines[i]->used) * lines[i]->interval_us + column_us - 1) /
            column_us);
        if (spanned > columns)
            columns = spanned;
    }
    return report_axis{origin_utc_us, column_us,
                       columns > REPORT_COLUMNS + 1 ? REPORT_COLUMNS + 1 : columns};
}

void sum_columns(const report_axis *axis, const timeline *line, timeline_interval *columns)
{
    for (int c = 0; c < axis->columns; c++)
        columns[c] = timeline_interval{};
    uint64_t per_column = axis->column_us / line->interval_us;
    for (int i = 0; i < line->used; i++) {
        uint64_t c = static_cast<uint64_t>(i) / per_column;
        if (c >= static_cast<uint64_t>(axis->columns))
            break;
        columns[c].datagrams += line->intervals[i].datagrams;
        columns[c].missed += line->intervals[i].missed;
        columns[c].late += line->intervals[i].late;
        columns[c].host_drops += line->intervals[i].host_drops;
    }
}

static double x_of(const report_axis *axis, double column)
{
    return PLOT_LEFT + column * PLOT_WIDTH / axis->columns;
}

static double x_at(const report_axis *axis, uint64_t utc_us)
{
    uint64_t offset_us = utc_us > axis->origin_utc_us ? utc_us - axis->origin_utc_us : 0;
    return x_of(axis, static_cast<double>(offset_us) / static_cast<double>(axis->column_us));
}

// Over a day or more, a time of day alone names several moments: the ticks say the date.
#define DAY_US 86400000000ull

// "2023-11-14 22:13", UTC.
static void put_date_and_minute(text_buffer *out, uint64_t utc_us)
{
    char text[UTC_TEXT_MAX];
    *put_utc(text, utc_us) = '\0';
    const char *time = strchr(text, 'T');
    text_printf(out, "%.*s %.5s", static_cast<int>(time - text), text, time + 1);
}

// Ticks at six times of day along the axis at y = base, with the axis's name at the foot of a
// picture height high.
static void put_time_axis(text_buffer *out, const report_axis *axis, int base, int height)
{
    uint64_t span_us = axis->column_us * static_cast<uint64_t>(axis->columns);
    text_printf(out, "<line class=\"axis\" x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\"/>\n", PLOT_LEFT,
                base, SVG_WIDTH - PLOT_RIGHT, base);
    for (int tick = 0; tick <= 5; tick++) {
        uint64_t at_us = axis->origin_utc_us + span_us * static_cast<uint64_t>(tick) / 5;
        double x = x_at(axis, at_us);
        text_printf(out, "<line class=\"axis\" x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\"/>"
                         "<text x=\"%.1f\" y=\"%d\" text-anchor=\"%s\">", x, base, x,
                    base + 4, x, base + 16, tick == 5 ? "end" : "middle");
        if (span_us >= DAY_US)
            put_date_and_minute(out, at_us);
        else
            put_time_of_day(out, at_us, span_us < 60000000);
        text_puts(out, "</text>\n");
    }
    text_printf(out, "<text x=\"%d\" y=\"%d\" text-anchor=\"middle\">%s (UTC); a column is ",
                PLOT_LEFT + PLOT_WIDTH / 2, height - 4,
                span_us >= DAY_US ? "date and time" : "time of day");
    put_span(out, axis->column_us);
    text_puts(out, "</text>\n");
}

static void put_outages(text_buffer *out, const report_axis *axis, const timeline *line)
{
    for (int i = 0; i < line->outage_count; i++) {
        double from = x_at(axis, line->outages[i].from_utc_us);
        double to = x_at(axis, line->outages[i].to_utc_us);
        text_printf(out, "<rect class=\"outage\" x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%d\">"
                         "<title>outage ", from, PLOT_TOP, to - from < 1 ? 1 : to - from,
                    MISSED_TOP + MISSED_HEIGHT - PLOT_TOP);
        put_span(out, line->outages[i].to_utc_us - line->outages[i].from_utc_us);
        text_puts(out, "</title></rect>\n");
    }
}

static double y_of(uint64_t value, uint64_t top)
{
    return PLOT_TOP + PLOT_HEIGHT - static_cast<double>(value) * PLOT_HEIGHT / static_cast<double>(top);
}

// A count of column c as a bar standing on base: at least three pixels, so that one stays
// visible, and taller on a square-root scale up to tallest for the most of its kind.
static void put_count_bar(text_buffer *out, const report_axis *axis, int c, uint64_t count,
                          uint64_t most, int base, int tallest, const char *kind)
{
    if (count == 0)
        return;
    double width = static_cast<double>(PLOT_WIDTH) / axis->columns;
    double share = __builtin_sqrt(static_cast<double>(count) / static_cast<double>(most));
    double height = 3 + share * (tallest - 3);
    text_printf(out, "<rect class=\"%s\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\">"
                     "<title>%llu %s</title></rect>\n", kind, x_of(axis, c), base - height,
                width < 2 ? 2 : width, height, static_cast<unsigned long long>(count), kind);
}

// Missed numbers as bars in the band under the plot, numbers filled late as orange ones in
// the strip above it, this host's drops as marks over the plot.
static void put_missed_bars(text_buffer *out, const report_axis *axis,
                            const timeline_interval *columns, uint64_t most_missed,
                            uint64_t most_late)
{
    double width = static_cast<double>(PLOT_WIDTH) / axis->columns;
    for (int c = 0; c < axis->columns; c++) {
        put_count_bar(out, axis, c, columns[c].late, most_late, MISSED_TOP - 1, LATE_HEIGHT,
                      "late");
        put_count_bar(out, axis, c, columns[c].missed, most_missed, MISSED_TOP + MISSED_HEIGHT,
                      MISSED_HEIGHT, "missed");
        if (columns[c].host_drops != 0)
            text_printf(out, "<rect class=\"drops\" x=\"%.1f\" y=\"%d\" width=\"%.1f\" "
                             "height=\"6\"><title>%u dropped by this host</title></rect>\n",
                        x_of(axis, c), PLOT_TOP - 8, width < 2 ? 2 : width, columns[c].host_drops);
    }
}

static void put_datagram_line(text_buffer *out, const report_axis *axis,
                              const timeline_interval *columns, uint64_t top, int dash)
{
    text_printf(out, "<polyline class=\"received dash%d\" data-datagrams=\"", dash);
    for (int c = 0; c < axis->columns; c++)
        text_printf(out, "%s%llu", c == 0 ? "" : " ",
                    static_cast<unsigned long long>(columns[c].datagrams));
    text_puts(out, "\" points=\"");
    for (int c = 0; c < axis->columns; c++)
        text_printf(out, "%.1f,%.1f ", x_of(axis, c + 0.5), y_of(columns[c].datagrams, top));
    text_puts(out, "\"/>\n");
}

void put_timeline_svg(text_buffer *out, const report_axis *axis, const timeline *const *lines,
                      const char *const *names, int line_count)
{
    // A feed has at most FEED_LINES_MAX lines (a config with more is refused at start), and
    // report_axis_of makes at most REPORT_COLUMNS + 1 columns.
    static timeline_interval columns[FEED_LINES_MAX][REPORT_COLUMNS + 1];
    if (line_count > FEED_LINES_MAX)
        line_count = FEED_LINES_MAX;
    static_assert(REPORT_COLUMNS <= TIMELINE_INTERVALS, "a column holds a whole interval or more");
    uint64_t top = 1, most_missed = 1, most_late = 1;
    for (int i = 0; i < line_count; i++) {
        sum_columns(axis, lines[i], columns[i]);
        for (int c = 0; c < axis->columns; c++) {
            top = columns[i][c].datagrams > top ? columns[i][c].datagrams : top;
            most_missed = columns[i][c].missed > most_missed ? columns[i][c].missed : most_missed;
            most_late = columns[i][c].late > most_late ? columns[i][c].late : most_late;
        }
    }
    text_printf(out, "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"timeline\" "
                     "viewBox=\"0 0 %d %d\" width=\"%d\" height=\"%d\" data-column-us=\"%llu\" "
                     "data-origin-us=\"%llu\">\n",
                SVG_WIDTH, SVG_HEIGHT, SVG_WIDTH, SVG_HEIGHT,
                static_cast<unsigned long long>(axis->column_us),
                static_cast<unsigned long long>(axis->origin_utc_us));
    for (int i = 0; i < line_count; i++)
        put_outages(out, axis, lines[i]);
    text_printf(out, "<line class=\"axis\" x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\"/>\n"
                     "<text x=\"%d\" y=\"%d\" text-anchor=\"end\">%llu</text>\n"
                     "<text x=\"%d\" y=\"%d\" text-anchor=\"end\">0</text>\n"
                     "<text x=\"%d\" y=\"%d\" text-anchor=\"end\" class=\"missed-text\">missed</text>\n"
                     "<text x=\"12\" y=\"%d\" transform=\"rotate(-90 12 %d)\" text-anchor=\"middle\">"
                     "datagrams a column</text>\n",
                PLOT_LEFT, PLOT_TOP, PLOT_LEFT, MISSED_TOP + MISSED_HEIGHT, PLOT_LEFT - 4,
                PLOT_TOP + 10, static_cast<unsigned long long>(top), PLOT_LEFT - 4,
                PLOT_TOP + PLOT_HEIGHT, PLOT_LEFT - 4, MISSED_TOP + MISSED_HEIGHT - 4,
                PLOT_TOP + PLOT_HEIGHT / 2, PLOT_TOP + PLOT_HEIGHT / 2);
    for (int i = 0; i < line_count; i++) {
        put_missed_bars(out, axis, columns[i], most_missed, most_late);
        put_datagram_line(out, axis, columns[i], top, line_count > 1 ? i + 1 : 0);
        if (line_count > 1) {
            text_printf(out, "<text x=\"%d\" y=\"%d\" class=\"dash%d\">", PLOT_LEFT + 8 + 160 * i,
                        PLOT_TOP + 12, i + 1);
            put_html(out, names[i]);
            text_puts(out, "</text>\n");
        }
    }
    put_time_axis(out, axis, MISSED_TOP + MISSED_HEIGHT, SVG_HEIGHT);
    text_puts(out, "</svg>\n");
}

// A row of the feed's picture: a bar a column that counted any; the counts in data-counts.
static void put_count_row(text_buffer *out, const report_axis *axis, const uint64_t *counts,
                          int row, const char *kind, const char *label)
{
    int base = PLOT_TOP + (row + 1) * FEED_ROW_HEIGHT;
    uint64_t most = 1;
    for (int c = 0; c < axis->columns; c++)
        most = counts[c] > most ? counts[c] : most;
    text_printf(out, "<g class=\"%s\" data-counts=\"", kind);
    for (int c = 0; c < axis->columns; c++)
        text_printf(out, "%s%llu", c == 0 ? "" : " ", static_cast<unsigned long long>(counts[c]));
    text_printf(out, "\">\n<text x=\"%d\" y=\"%d\">", PLOT_LEFT + 4, base - FEED_BAR_HEIGHT - 3);
    put_html(out, label);
    text_printf(out, "</text>\n<line class=\"axis\" x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\"/>\n",
                PLOT_LEFT, base, SVG_WIDTH - PLOT_RIGHT, base);
    for (int c = 0; c < axis->columns; c++)
        put_count_bar(out, axis, c, counts[c], most, base, FEED_BAR_HEIGHT, kind);
    text_puts(out, "</g>\n");
}

void put_feed_svg(text_buffer *out, const report_axis *axis, const feed_timeline *decided,
                  const char *const *names, int line_count)
{
    // report_axis_of makes at most REPORT_COLUMNS + 1 columns.
    static timeline_interval columns[REPORT_COLUMNS + 1];
    static uint64_t counts[FEED_LINES_MAX + 2][REPORT_COLUMNS + 1];
    if (line_count > FEED_LINES_MAX)
        line_count = FEED_LINES_MAX;
    sum_columns(axis, &decided->decided, columns);
    uint64_t per_column = axis->column_us / decided->decided.interval_us;
    for (int c = 0; c < axis->columns; c++) {
        counts[0][c] = columns[c].missed;
        counts[1][c] = columns[c].late;
        for (int l = 0; l < line_count; l++)
            counts[2 + l][c] = 0;
    }
    for (int i = 0; i < decided->decided.used; i++) {
        uint64_t c = static_cast<uint64_t>(i) / per_column;
        for (int l = 0; l < line_count && c < static_cast<uint64_t>(axis->columns); l++)
            counts[2 + l][c] += decided->alone[i][l];
    }
    int base = PLOT_TOP + (line_count + 2) * FEED_ROW_HEIGHT;
    int height = base + 40;
    text_printf(out, "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"feed-decided\" "
                     "viewBox=\"0 0 %d %d\" width=\"%d\" height=\"%d\" data-column-us=\"%llu\">\n",
                SVG_WIDTH, height, SVG_WIDTH, height,
                static_cast<unsigned long long>(axis->column_us));
    put_count_row(out, axis, counts[0], 0, "missed", "numbers no line delivered in time (missed)");
    put_count_row(out, axis, counts[1], 1, "late", "of those, filled late by a copy (late)");
    for (int l = 0; l < line_count; l++) {
        char label[STREAM_NAME_MAX + 64];
        snprintf(label, sizeof label, "numbers only %s delivered (alone)", names[l]);
        put_count_row(out, axis, counts[2 + l], 2 + l, "alone", label);
    }
    put_time_axis(out, axis, base, height);
    text_puts(out, "</svg>\n");
}

void put_histogram_svg(text_buffer *out, const histogram *times, const char *caption)
{
    int first = 0, last = HISTOGRAM_BUCKETS - 1;
    while (first < last && times->counts[first] == 0)
        first++;
    while (last > first && times->counts[last] == 0)
        last--;
    uint64_t most = 1;
    for (int k = first; k <= last; k++)
        most = times->counts[k] > most ? times->counts[k] : most;
    int buckets = last - first + 1;
    const int width = 480, height = 130, left = 60, plot = 80;
    double bar = static_cast<double>(width - left - 10) / buckets;
    if (bar > 24)
        bar = 24;
    text_printf(out, "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"histogram\" viewBox=\"0 0 "
                     "%d %d\" width=\"%d\" height=\"%d\">\n<text x=\"%d\" y=\"12\" "
                     "text-anchor=\"end\">%llu</text><text x=\"%d\" y=\"%d\" text-anchor=\"end\">0"
                     "</text>\n", width, height, width, height, left - 4,
                static_cast<unsigned long long>(most), left - 4, 10 + plot);
    for (int k = first; k <= last; k++) {
        double h = static_cast<double>(times->counts[k]) * plot / static_cast<double>(most);
        double x = left + (k - first) * bar;
        text_printf(out, "<rect class=\"received\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" "
                         "height=\"%.1f\"><title>up to ", x, 10 + plot - h, bar * 0.9, h);
        put_span(out, histogram_bound_us(static_cast<unsigned>(k)));
        text_printf(out, ": %llu</title></rect>\n",
                    static_cast<unsigned long long>(times->counts[k]));
        // The first bucket's bound and each decade's, where the next label has room.
        if (k == first || (k % HISTOGRAM_PER_DECADE == 0 && (k - first) * bar > 40)) {
            text_printf(out, "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">", x + bar / 2,
                        26 + plot);
            put_span(out, histogram_bound_us(static_cast<unsigned>(k)));
            text_puts(out, "</text>\n");
        }
    }
    text_printf(out, "<text x=\"%d\" y=\"%d\" text-anchor=\"middle\">%s (log scale); bars "
                     "count them</text>\n</svg>\n", left + (width - left) / 2, height - 4, caption);
}
