// The live view of every stream (--top): rows made from the snapshot of figures the summary and
// the metrics read too, once per redraw, and keys looked at ten times a second; nothing is done
// per datagram.
#pragma once

#include <stdint.h>

#include "output/top_table.h"
#include "timer/timer.h"

// What a row showed at the last redraw: the rate and whether its loss rose come from it.
struct top_memory {
    bool seen;
    uint64_t received;
    uint64_t bytes;
    uint64_t lost;
    uint64_t drops;
};

struct top_view {
    bool open;
    int sort;
    bool paused;
    uint64_t period_us;      // between redraws: -s, or a second
    uint64_t drawn_us;       // the last redraw's rows were made then (monotonic)
    uint64_t silent_limit_us; // silent this long stands out: --stall, or 5 s
    timer tick;              // every 100 ms: the keys, and the redraw when it is due
    uint64_t next_draw_us;
    top_row *rows;           // as made at the last redraw
    int row_count;
    int *order;
    int *scratch;
    top_memory *memory;      // by a row's place: streams, then one sender's entries, then feeds
    int row_room;            // rows, order and scratch hold this many
    char *text;              // the screen's lines, TOP_LINE_MAX each
    const char **lines;
    bool *alarms;
    int line_room;           // text, lines and alarms hold this many: as tall as the screen was
};

struct run_state;

// Takes the terminal and draws the first picture; the run's lines are dropped from here on.
// Returns 0, or -1 after an error line.
int top_open(run_state *state);

// Gives the terminal back, so that what the stop prints is seen.
void top_close(run_state *state);

// Makes the view's rows from a snapshot of the run taken now (now_us on the monotonic clock):
// a row a stream with a feed's lines before its own row, or a lone stream's senders a row each.
void make_top_rows(run_state *state, uint64_t now_us);

// The view's timer (context: the run): the keys first (q stops the run as an interrupt does),
// then the redraw once it is due.
void on_top_tick(void *context, uint64_t due_us);
