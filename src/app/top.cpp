#include "app/top.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

#include "app/loop.h"
#include "base/clock.h"
#include "base/log.h"
#include "base/output.h"
#include "base/process.h"
#include "net/address.h"
#include "output/screen.h"

#define TICK_US 100000
#define SILENT_LIMIT_DEFAULT_US 5000000
#define TOP_LINE_MAX 512

// Room for a screen's lines: a line a row at most, and the title, the headers and the line
// for the rest at least. A taller screen than any before grows it (a resize allocates, never a
// datagram); where that fails, the view keeps to the lines it has. Returns the lines there are
// room for, or -1 where there is none at all.
static int make_room_for_lines(top_view *view, int height)
{
    int wanted = std::max(3, std::min(height, view->row_room + 3));
    if (wanted <= view->line_room)
        return wanted;
    size_t lines = static_cast<size_t>(wanted);
    char *text = static_cast<char *>(realloc(view->text, lines * TOP_LINE_MAX));
    if (text != nullptr)
        view->text = text;
    const char **pointers = static_cast<const char **>(realloc(view->lines, lines * sizeof *pointers));
    if (pointers != nullptr)
        view->lines = pointers;
    bool *alarms = static_cast<bool *>(realloc(view->alarms, lines * sizeof *alarms));
    if (alarms != nullptr)
        view->alarms = alarms;
    if (text != nullptr && pointers != nullptr && alarms != nullptr)
        view->line_room = wanted;
    return view->line_room >= 3 ? view->line_room : -1;
}

// The title's word on the link most at risk of being aged out: "querier 10.0.0.1 12 s ago",
// or "no querier for 40 s" since the join; nothing where queries are not heard.
static void put_querier_age(const run_state *state, char *out, size_t size)
{
    uint64_t silent_us = 0;
    const querier_entry *querier = nullptr;
    *out = '\0';
    uint64_t now_us = state->calls->monotonic_us(state->calls->context);
    if (!stalest_link(state->queries.watches, state->queries.watch_count,
                      &state->queries.queriers, now_us, &silent_us, &querier))
        return;
    unsigned long long seconds = silent_us / 1000000;
    if (querier == nullptr) {
        snprintf(out, size, "  no querier for %llu s", seconds);
        return;
    }
    char host[HOST_TEXT_MAX];
    query_reading heard = {};
    heard.version = querier->version;
    format_query_host(host, &heard, querier->address);
    snprintf(out, size, "  querier %s %llu s ago", host, seconds);
}

// Draws the rows made last: the title, the headers, the rows that fit and a line for the rest.
static void draw(run_state *state)
{
    top_view *view = state->outputs.top;
    int height = 0;
    int width = 0;
    screen_size(&height, &width);
    height = std::min(height, make_room_for_lines(view, height));
    if (height < 0)
        return;
    if (width >= TOP_LINE_MAX)
        width = TOP_LINE_MAX - 1;
    top_order(view->rows, view->row_count, view->sort, view->order, view->scratch);
    int shown = top_rows_shown(view->row_count, height);
    int count = 0;
    auto line = [&](void) {
        view->alarms[count] = false;
        view->lines[count] = view->text + static_cast<size_t>(count) * TOP_LINE_MAX;
        return view->text + static_cast<size_t>(count++) * TOP_LINE_MAX;
    };
    time_of_day now;
    clock_time_of_day_at(utc_now(state), &now);
    char feeds[32] = "";
    if (state->watched.feed_count > 0)
        snprintf(feeds, sizeof feeds, ", %d feed%s", state->watched.feed_count,
                 state->watched.feed_count == 1 ? "" : "s");
    char querier[HOST_TEXT_MAX + 48];
    put_querier_age(state, querier, sizeof querier);
    snprintf(line(), TOP_LINE_MAX, "mcwatch %s  %02d:%02d:%02d  %d stream%s%s%s  sorted by %s%s  "
             "s: sort  p: pause  q: quit", MCWATCH_VERSION, now.hour, now.minute, now.second,
             state->watched.stream_count, state->watched.stream_count == 1 ? "" : "s", feeds,
             querier, top_sort_name(view->sort), view->paused ? "  PAUSED" : "");
    bool ts = false;
    for (int i = 0; i < state->watched.stream_count; i++)
        ts = ts || state->watched.streams[i].judge.ts != nullptr;
    bool behind = state->watched.feed_count > 0;
    top_header(line(), TOP_LINE_MAX, width, ts, behind);
    for (int i = 0; i < shown; i++) {
        const top_row *row = &view->rows[view->order[i]];
        top_line(line(), TOP_LINE_MAX, row, width, ts, behind);
        view->alarms[count - 1] = row->alarm;
    }
    if (shown < view->row_count)
        top_more(line(), TOP_LINE_MAX, view->row_count - shown);
    screen_draw(view->lines, view->alarms, count);
}

void on_top_tick(void *context, uint64_t)
{
    run_state *state = static_cast<run_state *>(context);
    top_view *view = state->outputs.top;
    uint64_t now_us = state->calls->monotonic_us(state->calls->context);
    bool redraw = false;
    for (int key; (key = screen_key()) != SCREEN_NO_KEY;) {
        if (key == 'q' || key == 'Q') {
            state->stopping = true;
        } else if (key == 's' || key == 'S') {
            view->sort = (view->sort + 1) % TOP_SORTS;
            redraw = true;
        } else if (key == 'p' || key == 'P') {
            view->paused = !view->paused;
            redraw = true;
        } else if (key == SCREEN_RESIZED) {
            redraw = true;
        }
    }
    if (now_us >= view->next_draw_us) {
        if (!view->paused) {
            make_top_rows(state, now_us);
            redraw = true;
        }
        while (view->next_draw_us <= now_us)
            view->next_draw_us += view->period_us;
    }
    if (redraw && !state->stopping)
        draw(state);
    timer_arm(&view->tick, now_us + TICK_US);
}

// A signal that ends the process while the view is shown: the terminal first, as it was.
static void on_ending_signal(int signal_number)
{
    screen_give_back_at_signal();
    end_by_signal(signal_number);
}

// An interrupt, or a hangup, stops the run in order and the view with it; the same signal
// again ends the process at once, the terminal given back.
static void on_interrupt_in_view(int signal_number)
{
    on_interrupt(signal_number);
    hand_next_signal(signal_number, on_ending_signal);
}

// Every signal that ends the process gives the terminal back first. An interrupt that came
// before the view keeps its one-shot handler spent. Returns 0, or -1 after an error line.
static int hold_signals_for_view(void)
{
    if (install_ending_handler(on_ending_signal) < 0)
        return -1;
    if (interrupted)
        return 0;
    return install_interrupt_handler(on_interrupt_in_view) < 0 ||
                   install_hangup_handler(on_interrupt_in_view) < 0 ? -1 : 0;
}

static void free_view(top_view *view)
{
    free(view->rows);
    free(view->order);
    free(view->scratch);
    free(view->memory);
    free(view->text);
    free(view->lines);
    free(view->alarms);
    view->rows = nullptr;
    view->order = view->scratch = nullptr;
    view->memory = nullptr;
    view->text = nullptr;
    view->lines = nullptr;
    view->alarms = nullptr;
    view->line_room = 0;
}

int top_open(run_state *state)
{
    top_view *view = state->outputs.top;
    const settings *options = state->options;
    // A row per stream and feed, or per sender of a lone stream; a place in memory for each.
    int row_count = state->watched.stream_count + state->watched.feed_count;
    int sender_rows = int(state->watched.senders.capacity) + 1;
    size_t rows = static_cast<size_t>(row_count > sender_rows ? row_count : sender_rows);
    size_t places = static_cast<size_t>(state->watched.stream_count + sender_rows + state->watched.feed_count);
    view->rows = static_cast<top_row *>(calloc(rows, sizeof *view->rows));
    view->order = static_cast<int *>(calloc(rows, sizeof *view->order));
    view->scratch = static_cast<int *>(calloc(rows, sizeof *view->scratch));
    view->memory = static_cast<top_memory *>(calloc(places, sizeof *view->memory));
    view->row_room = static_cast<int>(rows);
    view->line_room = 0;
    if (view->rows == nullptr || view->order == nullptr || view->scratch == nullptr ||
        view->memory == nullptr || make_room_for_lines(view, 0) < 0) {
        free_view(view);
        log_line(stderr, "error", "out of memory for the view of %d streams", state->watched.stream_count);
        return -1;
    }
    // What the start printed is seen before the view takes the screen, not torn into it.
    output_flush();
    if (hold_signals_for_view() < 0 || screen_open() < 0) {
        free_view(view);
        return -1;
    }
    view->open = true;
    output_drop_while_viewed(true);
    log_hold_errors(screen_shares_standard_error());
    view->sort = TOP_SORT_WORST;
    view->paused = false;
    view->period_us = options->period_us != 0 ? options->period_us : 1000000;
    view->silent_limit_us = options->stall_ms != 0 ? uint64_t(options->stall_ms) * 1000
                                                   : SILENT_LIMIT_DEFAULT_US;
    uint64_t now_us = state->calls->monotonic_us(state->calls->context);
    make_top_rows(state, now_us);
    draw(state);
    view->next_draw_us = now_us + view->period_us;
    timer_arm(&view->tick, now_us + TICK_US);
    return 0;
}

void top_close(run_state *state)
{
    top_view *view = state->outputs.top;
    if (!view->open)
        return;
    screen_close();
    output_drop_while_viewed(false);
    log_hold_errors(false);
    view->open = false;
    view->tick.armed = false;
    free_view(view);
}
