// The counters of a sender's accounting (or a stream's total), one row each: what the text
// summary, a JSON summary, the metrics page and the live view call it, when each shows it, in
// what place, and how its value is read and written. The four render from this table alone: a
// counter added is a row added.
#pragma once

#include <stdint.h>

#include "base/layout.h"
#include "monitor/snapshot.h"
#include "monitor/tracker.h"
#include "monitor/ts.h"

// When an output shows a counter.
enum counter_shown {
    SHOWN_NEVER,
    SHOWN_ALWAYS,
    SHOWN_IN_LAYOUT,      // a given layout (--seq, --format): its short datagrams
    SHOWN_WITH_COUNT,     // a layout whose datagrams carry a count of numbers
    SHOWN_WITH_OUTAGES,   // arrivals were stamped: the outages mean something
    SHOWN_WITH_RANGE,     // a sender of its own (not a total, not the shared entry)
    SHOWN_FOR_STREAMS,    // a stream's or a sender's, not a feed's (which counts numbers)
};

// How a value is written: a count; a time (text milliseconds with three places, JSON
// microseconds, metrics seconds with six places); a sequence number, as the layout has it.
enum counter_unit { UNIT_COUNT, UNIT_TIME, UNIT_SEQUENCE };

// What one output says of a counter: its name, when it shows it, and its place among the
// counters it shows (1 first).
struct counter_output {
    const char *name;
    counter_shown shown;
    int place;
};

struct counter_row {
    uint64_t (*value)(const counter_figures *figures);
    counter_unit unit;
    counter_output text;     // "received" in "received 12"
    const char *text_after;  // written after the value, or null
    counter_output json;     // "received" in "received":12
    counter_output metric;   // a series per sender
    const char *metric_type;
    const char *metric_help;
    counter_output view;     // a column of the live view, its header
    int view_width;          // the column's characters
};

#define COUNTER_ROWS 17
extern const counter_row counter_rows[];

// The rows an output shows, in its order: places[i] is the row of its place i + 1, count of
// them. output_of picks the output's part of a row.
struct counter_order {
    int rows[COUNTER_ROWS];
    int count;
};
enum counter_output_kind { COUNTERS_TEXT, COUNTERS_JSON, COUNTERS_METRIC, COUNTERS_VIEW };
const counter_order *counter_order_of(counter_output_kind kind);
const counter_output *counter_output_of(const counter_row *row, counter_output_kind kind);

// The row's value as the text summary writes it: a count, a number in the layout's form, or a
// time as milliseconds with " ms". Writes at most UTC_TEXT_MAX bytes; returns the end.
char *put_counter_text(char *out, const counter_row *row, const counter_figures *figures,
                       const seq_layout *layout);

// Whether the output shows the row's counter for a layout, where outages were stamped, for a
// sender of its own or not. (The view, which has no layout at hand, asks counter_shown_in_view.)
bool counter_shown_for(const counter_output *output, const seq_layout *layout, bool outages,
                       bool own_sender);

// Whether the view shows the row's counter on a feed's row or on a stream's.
bool counter_shown_in_view(const counter_row *row, bool feed);

// A transport stream's counters (of its packets, not of a sender's numbers), one row each, in
// the order the text's transport stream line and the ts_summary object say them: what each
// calls it, the check its series of mcwatch_ts_errors_total is labelled with, and the live
// view's column where it has one.
struct ts_counter_row {
    uint64_t (*value)(const ts_counts *counts);
    const char *text;          // "packets" in "packets 12"
    const char *text_before;   // written before it in place of ", " (the first has neither)
    const char *text_after;    // written after its value, or null
    const char *json;
    int check;                 // a ts_check, whose series it is; -1: none
    const char *view;          // the view's column header, or null
    int view_width;
};

#define TS_COUNTER_ROWS 11
extern const ts_counter_row ts_counter_rows[];
