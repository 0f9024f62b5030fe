#include "output/counters.h"

#include "base/format.h"
#include "output/sink.h"

static uint64_t received(const counter_figures *f) { return f->counts.received; }
static uint64_t datagrams(const counter_figures *f) { return f->counts.datagrams; }
static uint64_t bytes(const counter_figures *f) { return f->counts.bytes; }
static uint64_t unique(const counter_figures *f) { return f->counts.unique; }
static uint64_t duplicates(const counter_figures *f) { return f->counts.duplicates; }
static uint64_t missed(const counter_figures *f) { return f->counts.missed; }
static uint64_t late(const counter_figures *f) { return f->counts.late; }
static uint64_t lost(const counter_figures *f) { return f->counts.lost; }
static uint64_t stale(const counter_figures *f) { return f->counts.stale; }
static uint64_t restarts(const counter_figures *f) { return f->counts.restarts; }
static uint64_t short_datagrams(const counter_figures *f) { return f->counts.short_datagrams; }
static uint64_t first_seq(const counter_figures *f) { return static_cast<uint64_t>(f->counts.first_seq); }
static uint64_t last_seq(const counter_figures *f) { return static_cast<uint64_t>(f->counts.last_seq); }
static uint64_t last_utc(const counter_figures *f) { return f->last_utc_us; }
static uint64_t outages(const counter_figures *f) { return f->counts.outage_us; }
static uint64_t longest_outage(const counter_figures *f) { return f->counts.longest_outage_us; }
static uint64_t messages(const counter_figures *f)
{
    return f->counts.received - f->counts.short_datagrams;
}

#define NONE {nullptr, SHOWN_NEVER, 0}

const counter_row counter_rows[] = {
    {received, UNIT_COUNT, {"received", SHOWN_ALWAYS, 1}, nullptr,
     {"received", SHOWN_ALWAYS, 1}, NONE, nullptr, nullptr, {"RECEIVED", SHOWN_ALWAYS, 1}, 10},
    {datagrams, UNIT_COUNT, {"datagrams", SHOWN_WITH_COUNT, 11}, " (counts are of messages)",
     {"datagrams", SHOWN_WITH_COUNT, 11},
     {"mcwatch_datagrams_received_total", SHOWN_ALWAYS, 1}, "counter",
     "Datagrams received from the sender.", NONE, 0},
    {bytes, UNIT_COUNT, {"bytes", SHOWN_ALWAYS, 2}, nullptr, {"bytes", SHOWN_ALWAYS, 2},
     {"mcwatch_bytes_received_total", SHOWN_ALWAYS, 2}, "counter",
     "Payload bytes received from the sender.", NONE, 0},
    {unique, UNIT_COUNT, {"unique", SHOWN_ALWAYS, 3}, nullptr, {"unique", SHOWN_ALWAYS, 3}, NONE,
     nullptr, nullptr, NONE, 0},
    {duplicates, UNIT_COUNT, {"duplicates", SHOWN_ALWAYS, 4}, nullptr,
     {"duplicates", SHOWN_ALWAYS, 4}, {"mcwatch_duplicates_total", SHOWN_ALWAYS, 5}, "counter",
     "Datagrams whose number came before.", {"DUP", SHOWN_FOR_STREAMS, 4}, 6},
    {missed, UNIT_COUNT, {"missed", SHOWN_ALWAYS, 5}, nullptr, {"missed", SHOWN_ALWAYS, 5},
     {"mcwatch_missed_total", SHOWN_ALWAYS, 3}, "counter", "Sequence numbers the sender skipped.",
     NONE, 0},
    {late, UNIT_COUNT, {"late", SHOWN_ALWAYS, 6}, nullptr, {"late", SHOWN_ALWAYS, 6},
     {"mcwatch_late_total", SHOWN_ALWAYS, 4}, "counter", "Skipped numbers that came late.",
     {"LATE", SHOWN_ALWAYS, 3}, 6},
    {lost, UNIT_COUNT, {"lost", SHOWN_ALWAYS, 7}, nullptr, {"lost", SHOWN_ALWAYS, 7}, NONE,
     nullptr, nullptr, {"LOST", SHOWN_ALWAYS, 2}, 7},
    {stale, UNIT_COUNT, {"stale", SHOWN_ALWAYS, 8}, nullptr, {"stale", SHOWN_ALWAYS, 8},
     {"mcwatch_stale_total", SHOWN_ALWAYS, 6}, "counter", "Datagrams too old to judge.", NONE, 0},
    {restarts, UNIT_COUNT, {"restarts", SHOWN_ALWAYS, 9}, nullptr, {"restarts", SHOWN_ALWAYS, 9},
     {"mcwatch_restarts_total", SHOWN_ALWAYS, 7}, "counter",
     "Times the sender started its numbers again.", NONE, 0},
    {short_datagrams, UNIT_COUNT, {"short", SHOWN_IN_LAYOUT, 10}, nullptr,
     {"short", SHOWN_IN_LAYOUT, 10}, {"mcwatch_short_total", SHOWN_IN_LAYOUT, 12}, "counter",
     "Datagrams too short for the layout's fields.", NONE, 0},
    {first_seq, UNIT_SEQUENCE, {"first", SHOWN_WITH_RANGE, 12}, nullptr,
     {"first_seq", SHOWN_WITH_RANGE, 14}, NONE, nullptr, nullptr, NONE, 0},
    {last_seq, UNIT_SEQUENCE, {"last", SHOWN_WITH_RANGE, 13}, nullptr,
     {"last_seq", SHOWN_WITH_RANGE, 15}, {"mcwatch_last_sequence", SHOWN_WITH_RANGE, 8}, "gauge",
     "The highest sequence number of the sender's present run.", NONE, 0},
    {last_utc, UNIT_TIME, NONE, nullptr, NONE,
     {"mcwatch_last_datagram_timestamp_seconds", SHOWN_ALWAYS, 9}, "gauge",
     "When the sender's last datagram came, in seconds since 1970.", NONE, 0},
    {outages, UNIT_TIME, {"outages", SHOWN_WITH_OUTAGES, 15}, nullptr,
     {"outage_us", SHOWN_WITH_OUTAGES, 12}, {"mcwatch_outage_seconds_total", SHOWN_ALWAYS, 10},
     "counter", "Time from the datagram before each gap to the one that showed it, summed.",
     NONE, 0},
    {longest_outage, UNIT_TIME, {"longest outage", SHOWN_WITH_OUTAGES, 14}, nullptr,
     {"longest_outage_us", SHOWN_WITH_OUTAGES, 13},
     {"mcwatch_longest_outage_seconds", SHOWN_ALWAYS, 11}, "gauge",
     "The longest outage of a gap.", NONE, 0},
    {messages, UNIT_COUNT, NONE, nullptr, NONE,
     {"mcwatch_messages_received_total", SHOWN_WITH_COUNT, 13}, "counter",
     "Message numbers received, as the datagrams' counts say.", NONE, 0},
};

static_assert(sizeof counter_rows / sizeof counter_rows[0] == COUNTER_ROWS,
              "COUNTER_ROWS counts the table's rows");

const counter_output *counter_output_of(const counter_row *row, counter_output_kind kind)
{
    switch (kind) {
    case COUNTERS_TEXT:
        return &row->text;
    case COUNTERS_JSON:
        return &row->json;
    case COUNTERS_METRIC:
        return &row->metric;
    case COUNTERS_VIEW:
        break;
    }
    return &row->view;
}

// Each output's rows by place, found once: a place is given to one row of an output at most.
static counter_order make_order(counter_output_kind kind)
{
    counter_order order = {};
    for (int place = 1; place <= COUNTER_ROWS; place++)
        for (int row = 0; row < COUNTER_ROWS; row++)
            if (counter_output_of(&counter_rows[row], kind)->place == place)
                order.rows[order.count++] = row;
    return order;
}

const counter_order *counter_order_of(counter_output_kind kind)
{
    static const counter_order orders[] = {make_order(COUNTERS_TEXT), make_order(COUNTERS_JSON),
                                           make_order(COUNTERS_METRIC), make_order(COUNTERS_VIEW)};
    return &orders[kind];
}

bool counter_shown_for(const counter_output *output, const seq_layout *layout, bool outages,
                       bool own_sender)
{
    switch (output->shown) {
    case SHOWN_ALWAYS:
        return true;
    case SHOWN_IN_LAYOUT:
        return layout->given;
    case SHOWN_WITH_COUNT:
        return layout->have_count;
    case SHOWN_WITH_OUTAGES:
        return outages;
    case SHOWN_WITH_RANGE:
        return own_sender;
    case SHOWN_FOR_STREAMS:
        return true;
    case SHOWN_NEVER:
        break;
    }
    return false;
}

bool counter_shown_in_view(const counter_row *row, bool feed)
{
    return row->view.shown == SHOWN_ALWAYS || (row->view.shown == SHOWN_FOR_STREAMS && !feed);
}

char *put_counter_text(char *out, const counter_row *row, const counter_figures *figures,
                       const seq_layout *layout)
{
    uint64_t value = row->value(figures);
    if (row->unit == UNIT_SEQUENCE)
        return put_seq(out, layout, static_cast<int64_t>(value));
    if (row->unit == UNIT_TIME)
        return put_literal(put_milliseconds(out, value), " ms");
    return put_unsigned(out, value);
}

static uint64_t ts_packets(const ts_counts *n) { return n->packets; }
static uint64_t ts_pids(const ts_counts *n) { return n->pids; }
static uint64_t ts_continuity(const ts_counts *n) { return n->errors[TS_CONTINUITY]; }
static uint64_t ts_network(const ts_counts *n) { return n->continuity[TS_NETWORK]; }
static uint64_t ts_source(const ts_counts *n) { return n->continuity[TS_SOURCE]; }
static uint64_t ts_unknown(const ts_counts *n) { return n->continuity[TS_UNKNOWN]; }
static uint64_t ts_sync_bytes(const ts_counts *n) { return n->errors[TS_SYNC_BYTE_ERROR]; }
static uint64_t ts_sync_losses(const ts_counts *n) { return n->errors[TS_SYNC_LOSS]; }
static uint64_t ts_pat(const ts_counts *n) { return n->errors[TS_PAT]; }
static uint64_t ts_pmt(const ts_counts *n) { return n->errors[TS_PMT]; }
static uint64_t ts_pid(const ts_counts *n) { return n->errors[TS_PID]; }

const ts_counter_row ts_counter_rows[] = {
    {ts_packets, "packets", nullptr, nullptr, "packets", -1, nullptr, 0},
    {ts_pids, "pids", nullptr, nullptr, "pid_count", -1, nullptr, 0},
    {ts_continuity, "continuity errors", nullptr, nullptr, "continuity_errors", TS_CONTINUITY,
     "CC ERR", 7},
    {ts_network, "network", " (", nullptr, "network", -1, nullptr, 0},
    {ts_source, "source", nullptr, nullptr, "source", -1, nullptr, 0},
    {ts_unknown, "unknown", nullptr, ")", "unknown", -1, nullptr, 0},
    {ts_sync_bytes, "sync byte errors", nullptr, nullptr, "sync_byte_errors", TS_SYNC_BYTE_ERROR,
     nullptr, 0},
    {ts_sync_losses, "sync losses", nullptr, nullptr, "sync_losses", TS_SYNC_LOSS, nullptr, 0},
    {ts_pat, "pat errors", nullptr, nullptr, "pat_errors", TS_PAT, nullptr, 0},
    {ts_pmt, "pmt errors", nullptr, nullptr, "pmt_errors", TS_PMT, nullptr, 0},
    {ts_pid, "pid errors", nullptr, nullptr, "pid_errors", TS_PID, nullptr, 0},
};

static_assert(sizeof ts_counter_rows / sizeof ts_counter_rows[0] == TS_COUNTER_ROWS,
              "TS_COUNTER_ROWS counts the table's rows");
