// The live view's table (--top): rows of figures in, lines of text out, sorted and cut to the
// screen. Pure, so that every column, sort and cut is a table row of a test.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "output/counters.h"

#define TOP_NAME_MAX 112
#define TOP_SOURCE_MAX 64

struct top_row {
    int unit;                  // rows of one unit stay together in this order: a feed's lines
                               // and then the feed's own row
    char name[TOP_NAME_MAX];   // the stream (its name, or group:port), or "feed <name>"
    char source[TOP_SOURCE_MAX]; // the sender, "3 senders", or empty
    bool feed;                 // a feed's row: numbers, not datagrams; no source, rate of bits
    bool have_rate;            // a period has passed since the last redraw
    double rate_per_s;
    double mbit_per_s;
    counter_figures figures;   // the counters' columns read these (a feed: received is the
                               // numbers some line delivered)
    bool have_drops;           // where this host counts them
    uint64_t drops;
    bool have_seq;
    int64_t last_seq;
    bool seq_unsigned;         // a given layout's numbers are unsigned
    bool have_silent;          // a datagram came at some time
    uint64_t silent_us;
    bool alarm;                // its loss rose in the last period, or silent past the limit
    const ts_counts *ts;       // its stream's transport stream counts, or null
};

enum top_sort { TOP_SORT_WORST, TOP_SORT_NAME, TOP_SORT_RATE, TOP_SORTS };

// The sort's name, as the header shows it.
const char *top_sort_name(int sort);

// The order rows are shown in, as their places, into order (count of them): units sorted (the
// worst first: a row that stands out, then the most lost, the most dropped, the longest
// silent; or by name; or by rate, highest first) by their row that sorts first, each unit's
// rows together and in their order. scratch holds count places.
void top_order(const top_row *rows, int count, int sort, int *order, int *scratch);

// The column headers, fitted to width characters (without a terminator past out_size - 1);
// with ts, the transport stream counters' columns too.
void top_header(char *out, size_t out_size, int width, bool ts);

// A row's line fitted to width: '!' first where it stands out, so that a terminal without
// colour shows it too. ts as for the header.
void top_line(char *out, size_t out_size, const top_row *row, int width, bool ts);

// How many rows fit on a screen of height lines, under the title and the headers, with a
// last line naming those that do not fit.
int top_rows_shown(int count, int height);

// "... 37 more streams", the last line where rows do not fit.
void top_more(char *out, size_t out_size, int hidden);
