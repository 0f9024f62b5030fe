// The report's pictures, written as SVG by hand: a stream's (or a feed's lines') timeline on a
// time axis shared by the whole page, and a histogram of the times between datagrams.
#pragma once

#include <stdint.h>

#include "base/text.h"
#include "monitor/feed_timeline.h"
#include "monitor/histogram.h"
#include "monitor/timeline.h"

// The page's time axis: columns of column_us from origin_utc_us on, count of them.
struct report_axis {
    uint64_t origin_utc_us;
    uint64_t column_us;
    int columns;
};

// The axis for timelines that share origin_utc_us and run to end_utc_us: at most
// REPORT_COLUMNS columns, each a whole number of every timeline's intervals.
report_axis report_axis_of(const timeline *const *lines, int line_count, uint64_t origin_utc_us,
                           uint64_t end_utc_us);

// What fell into each column of the axis, from a timeline; columns of them.
void sum_columns(const report_axis *axis, const timeline *line, timeline_interval *columns);

// The timeline of lines drawn on one axis: datagrams per column as a line each (a feed's lines
// dashed apart), numbers missed as bars under it (one is visible), outages as shaded spans and
// host drops as marks. names[i] labels line i where there are several.
void put_timeline_svg(text_buffer *out, const report_axis *axis, const timeline *const *lines,
                      const char *const *names, int line_count);

// A feed's decisions on the axis, a row each: numbers missed when they fell due, those filled
// late when their copy came, and each line's alone at the time of its copy; names[i] is line i's.
void put_feed_svg(text_buffer *out, const report_axis *axis, const feed_timeline *decided,
                  const char *const *names, int line_count);

// Bars of times, over the buckets that hold any, on a log time axis; caption says what the
// times are.
void put_histogram_svg(text_buffer *out, const histogram *times, const char *caption);

// Text with &, <, > and quotes escaped for HTML and SVG.
void put_html(text_buffer *out, const char *text);

// A time of day, "14:03:07" (with milliseconds where show_ms), UTC.
void put_time_of_day(text_buffer *out, uint64_t utc_us, bool show_ms);

// A time span in its unit: "820 us", "12.5 ms", "3.20 s".
void put_span(text_buffer *out, uint64_t span_us);
