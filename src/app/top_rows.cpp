#include "app/top.h"

#include <stdio.h>

#include "app/loop.h"
#include "net/address.h"

// A row's name and source hold an endpoint's text whole.
static_assert(TOP_NAME_MAX >= ENDPOINT_TEXT_MAX && TOP_SOURCE_MAX >= ENDPOINT_TEXT_MAX, "room");

// The figures of a row that come and go between redraws: its rate, and whether it stands out.
static void compare_with_last(top_view *view, top_row *row, int place, uint64_t bytes,
                              uint64_t now_us)
{
    top_memory *last = &view->memory[place];
    double period_s = static_cast<double>(elapsed_us(now_us, view->drawn_us)) / 1e6;
    if (last->seen && period_s > 0) {
        row->have_rate = true;
        row->rate_per_s =
            static_cast<double>(row->figures.counts.received - last->received) / period_s;
        row->mbit_per_s = static_cast<double>(bytes - last->bytes) * 8 / period_s / 1e6;
    }
    const track_counts *counts = &row->figures.counts;
    bool loss_rose = last->seen && (counts->lost > last->lost || row->drops > last->drops);
    row->alarm = loss_rose || (row->have_silent && row->silent_us >= view->silent_limit_us);
    *last = {true, counts->received, bytes, counts->lost, row->drops};
}

// The silence of a stream or a sender from its last datagram's time of day (or the start's).
static void set_silence(top_row *row, uint64_t last_utc_us, uint64_t now_utc_us)
{
    row->have_silent = true;
    row->silent_us = now_utc_us > last_utc_us ? now_utc_us - last_utc_us : 0;
}

static void set_seq(top_row *row, const sender_snapshot *latest, const seq_layout *layout)
{
    row->have_seq = latest != nullptr && latest->entry->have_last;
    row->last_seq = row->have_seq ? latest->entry->last_seq : 0;
    row->seq_unsigned = layout->given;
}

static void stream_name(char *out, size_t size, const stream_state *stream)
{
    if (stream->config->name != nullptr)
        snprintf(out, size, "%s", stream->config->name);
    else
        format_endpoint(out, &stream->request.group);
}

// One stream's row, its senders summed.
static void make_stream_row(run_state *state, const run_snapshot *snapshot, int place, int unit,
                            uint64_t now_us, uint64_t now_utc_us)
{
    top_view *view = state->outputs.top;
    const stream_state *stream = &state->watched.streams[place];
    const stream_snapshot *figures = &snapshot->streams[place];
    top_row *row = &view->rows[view->row_count++];
    *row = {};
    row->unit = unit;
    stream_name(row->name, sizeof row->name, stream);
    const sender_census *census = &figures->census;
    const sender_snapshot *latest = figures->latest;
    if (census->senders == 1 && latest != nullptr && !latest->entry->shared)
        format_endpoint(row->source, &latest->entry->address);
    else if (census->senders > 1 || census->more)
        snprintf(row->source, sizeof row->source, "%llu%s senders",
                 static_cast<unsigned long long>(census->senders), census->more ? "+" : "");
    row->figures.counts = figures->total.counts;
    row->ts = figures->ts;
    row->have_drops = figures->host_drops_counted;
    row->drops = figures->host_drops;
    set_seq(row, latest, &stream->config->layout);
    set_silence(row, latest != nullptr ? latest->entry->last_utc_us : state->start_utc_us,
                now_utc_us);
    compare_with_last(view, row, place, figures->total.counts.bytes, now_us);
}

// A feed's row, under its lines: numbers some line delivered, and what none did.
static void make_feed_row(run_state *state, const feed_snapshot *figures, int feed, int unit,
                          uint64_t now_us)
{
    top_view *view = state->outputs.top;
    top_row *row = &view->rows[view->row_count++];
    *row = {};
    row->unit = unit;
    row->feed = true;
    snprintf(row->name, sizeof row->name, "feed %s", figures->name);
    row->figures.counts.received = figures->counts->numbers;
    row->figures.counts.lost = figures->counts->lost;
    row->figures.counts.late = figures->counts->late;
    int place = state->watched.stream_count + int(state->watched.senders.capacity) + 1 + feed;
    compare_with_last(view, row, place, 0, now_us);
}

// A lone stream's senders, a row each.
static void make_sender_rows(run_state *state, const stream_snapshot *figures, uint64_t now_us,
                             uint64_t now_utc_us)
{
    top_view *view = state->outputs.top;
    const stream_state *stream = &state->watched.streams[0];
    for (int i = 0; i < figures->sender_count; i++) {
        const sender_snapshot *sender = &figures->senders[i];
        const sender_entry *entry = sender->entry;
        top_row *row = &view->rows[view->row_count++];
        *row = {};
        row->unit = view->row_count;
        stream_name(row->name, sizeof row->name, stream);
        if (entry->shared)
            snprintf(row->source, sizeof row->source, "others");
        else
            format_endpoint(row->source, &entry->address);
        row->figures.counts = sender->figures.counts;
        row->ts = figures->ts;
        set_seq(row, sender, &stream->config->layout);
        set_silence(row, entry->last_utc_us, now_utc_us);
        int place = state->watched.stream_count + static_cast<int>(entry - state->watched.senders.entries);
        if (entry->shared)
            place = state->watched.stream_count + int(state->watched.senders.capacity);
        compare_with_last(view, row, place, sender->figures.counts.bytes, now_us);
    }
}

// Every row, in the run's order: streams, a feed's lines together with its row after them.
void make_top_rows(run_state *state, uint64_t now_us)
{
    top_view *view = state->outputs.top;
    uint64_t now_utc_us = state->calls->utc_us(state->calls->context);
    const run_snapshot *snapshot = take_run_snapshot(state);
    view->row_count = 0;
    if (snapshot->stream_count == 1 && snapshot->streams[0].sender_count > 1) {
        make_sender_rows(state, &snapshot->streams[0], now_us, now_utc_us);
    } else {
        for (int i = 0; i < snapshot->stream_count; i++) {
            const feed_record *feed = state->watched.streams[i].feed;
            if (feed == nullptr) {
                make_stream_row(state, snapshot, i, i, now_us, now_utc_us);
                continue;
            }
            if (feed->lines[0] != i)
                continue;
            int f = static_cast<int>(feed - state->watched.feeds);
            const feed_snapshot *feed_figures = &snapshot->feeds[f];
            for (int line = 0; line < feed_figures->line_count; line++) {
                make_stream_row(state, snapshot, feed->lines[line], i, now_us, now_utc_us);
                const histogram *behind = &feed_figures->behind->times[line];
                top_row *row = &view->rows[view->row_count - 1];
                row->have_behind = behind->total > 0;
                row->behind_p99_us = histogram_percentile_us(behind, 99);
            }
            make_feed_row(state, feed_figures, f, i, now_us);
        }
    }
    view->drawn_us = now_us;
}
