#include "output/sink.h"

#include <stdio.h>
#include <string.h>

#include "base/clock.h"
#include "base/format.h"
#include "base/log.h"
#include "base/output.h"
#include "net/address.h"
#include "output/counters.h"

// Room for one object but the summary, which is written in pieces: its fields, and the stream
// and feed it is about.
#define JSON_LINE_MAX (512 + 2 * JSON_STRING_MAX(STREAM_NAME_MAX))

static json_sink *json_of(sink *self)
{
    return reinterpret_cast<json_sink *>(self);
}

// '{"time":"...","event":"<event>"'. The date and time up to the second are made again only
// when the second changes: a busy stream writes thousands of objects a second.
static char *begin_object(json_sink *json, char *out, const event_head *head, const char *event)
{
    uint64_t now_us = head->at_utc_us;
    uint64_t second = now_us / 1000000;
    if (second != json->second_shown) {
        json->second_shown = second;
        char *end = put_utc(json->time_text, now_us);
        json->second_length = static_cast<size_t>(end - json->time_text) - 7;
    }
    out = put_literal(out, "{\"time\":\"");
    // "2026-12-07T10:49:45." of the second, then this moment's microseconds.
    out = put_bytes(out, json->time_text, json->second_length);
    out = put_padded(out, static_cast<unsigned>(now_us % 1000000), 6);
    out = put_literal(out, "Z\",\"event\":\"");
    out = put_text(out, event);
    *out++ = '"';
    return out;
}

// begin_object, with the stream the event is about where the run names its streams.
static char *begin_stream_object(json_sink *json, char *out, const event_head *head,
                                 const char *event)
{
    out = begin_object(json, out, head, event);
    const stream_label *about = head->stream;
    if (about->name == nullptr)
        return out;
    out = put_json_string(put_literal(out, ",\"stream\":"), about->name);
    if (about->feed != nullptr)
        out = put_json_string(put_literal(out, ",\"feed\":"), about->feed);
    return out;
}

static void end_object(char *line, char *out)
{
    *out++ = '}';
    log_end(stdout, line, out);
}

static char *put_field(char *out, const char *name)
{
    *out++ = ',';
    *out++ = '"';
    out = put_text(out, name);
    return put_literal(out, "\":");
}

static char *put_class_field(char *out, seq_class kind)
{
    out = put_field(out, "class");
    *out++ = '"';
    out = put_text(out, seq_class_name(kind));
    *out++ = '"';
    return out;
}

static char *put_unsigned_field(char *out, const char *name, uint64_t value)
{
    return put_unsigned(put_field(out, name), value);
}

static char *put_signed_field(char *out, const char *name, int64_t value)
{
    return put_signed(put_field(out, name), value);
}

// A number, as put_seq writes it.
static char *put_seq_field(char *out, const seq_layout *layout, const char *name, int64_t seq)
{
    return put_seq(put_field(out, name), layout, seq);
}

static char *put_text_field(char *out, const char *name, const char *text)
{
    return put_json_string(put_field(out, name), text);
}

// The host of an endpoint as a field, and its port as another.
static char *put_endpoint_fields(char *out, const char *host_name, const char *port_name,
                                 const endpoint *address)
{
    char host[HOST_TEXT_MAX];
    format_host(host, address);
    out = put_text_field(out, host_name, host);
    return put_unsigned_field(out, port_name, endpoint_port(address));
}

static void json_bound(sink *self, const event_head *head, const endpoint *address)
{
    char line[JSON_LINE_MAX];
    char *out = begin_stream_object(json_of(self), line, head, "bound");
    end_object(line, put_endpoint_fields(out, "address", "port", address));
}

static void json_joined(sink *self, const event_head *head, const join_event *event)
{
    char line[JSON_LINE_MAX + JSON_STRING_MAX(256)];
    char *out = begin_stream_object(json_of(self), line, head, "joined");
    out = put_endpoint_fields(out, "group", "port", event->group);
    if (event->source != nullptr) {
        char host[HOST_TEXT_MAX];
        format_host(host, event->source);
        out = put_text_field(out, "source", host);
    }
    if (event->interface_name != nullptr && strlen(event->interface_name) <= 256)
        out = put_text_field(out, "interface", event->interface_name);
    end_object(line, out);
}

static void json_query(sink *self, const event_head *head, const query_event *event)
{
    const query_reading *query = event->query;
    char line[JSON_LINE_MAX];
    char *out = begin_object(json_of(self), line, head, "query");
    out = put_text_field(out, "interface", event->interface_name);
    char host[HOST_TEXT_MAX];
    format_query_host(host, query, query->querier);
    out = put_text_field(out, "querier", host);
    out = put_text_field(out, "version", query_version_name(query->version));
    if (query->interval_s != 0)
        out = put_unsigned_field(out, "interval_s", query->interval_s);
    if (!query->general) {
        format_query_host(host, query, query->group);
        out = put_text_field(out, "group", host);
    }
    end_object(line, out);
}

static void json_no_query(sink *self, const event_head *head, const char *interface_name,
                          uint64_t silent_us)
{
    char line[JSON_LINE_MAX + JSON_STRING_MAX(256)];
    char *out = begin_object(json_of(self), line, head, "no_query");
    if (interface_name != nullptr && strlen(interface_name) <= 256)
        out = put_text_field(out, "interface", interface_name);
    out = put_unsigned_field(out, "silent_us", silent_us);
    end_object(line, out);
}

static void json_verdict(sink *self, const event_head *head, const verdict_event *event)
{
    char line[JSON_LINE_MAX];
    // The run's, not the last stream's.
    char *out = begin_object(json_of(self), line, head, "verdict");
    out = put_unsigned_field(out, "lost", event->lost);
    if (event->host_drops_counted)
        out = put_unsigned_field(out, "host_drops", event->host_drops);
    out = put_unsigned_field(out, "allowed", event->allowed);
    out = put_unsigned_field(out, "received", event->received);
    if (event->silent_stream != nullptr)
        out = put_text_field(out, "silent_stream", event->silent_stream);
    if (event->silent_feed != nullptr)
        out = put_text_field(out, "silent_feed", event->silent_feed);
    end_object(line, put_signed_field(out, "status", event->status));
}

static void json_left(sink *self, const event_head *head, const endpoint *group)
{
    char line[JSON_LINE_MAX];
    char *out = begin_stream_object(json_of(self), line, head, "left");
    end_object(line, put_endpoint_fields(out, "group", "port", group));
}

static void json_rejoined(sink *self, const event_head *head, const rejoin_event *event)
{
    char line[JSON_LINE_MAX];
    char *out = begin_stream_object(json_of(self), line, head, "rejoined");
    out = put_endpoint_fields(out, "group", "port", event->group);
    end_object(line, put_unsigned_field(out, "silent_us", event->silent_us));
}

static void json_datagram(sink *self, const event_head *head, const datagram_event *event)
{
    json_sink *json = json_of(self);
    // The sender's text is kept while the sender stays the same.
    if (!json->have_sender || !same_endpoint(event->sender, &json->sender_shown)) {
        char host[HOST_TEXT_MAX];
        format_host(host, event->sender);
        char *end = put_json_string(json->sender_text, host);
        end = put_literal(end, ",\"sender_port\":");
        end = put_unsigned(end, endpoint_port(event->sender));
        json->sender_length = static_cast<size_t>(end - json->sender_text);
        json->sender_shown = *event->sender;
        json->have_sender = true;
    }
    char line[JSON_LINE_MAX];
    char *out = begin_stream_object(json, line, head, "datagram");
    out = put_field(out, "sender");
    out = put_bytes(out, json->sender_text, json->sender_length);
    out = put_signed_field(out, "length", event->length_bytes);
    if (event->kind != SEQ_SHORT && head->stream->layout->payload != PAYLOAD_TS)
        out = put_seq_field(out, head->stream->layout, "seq", event->seq);
    if (head->stream->layout->have_count && event->kind != SEQ_SHORT)
        out = put_unsigned_field(out, "count", event->end_of_session ? MOLDUDP64_END_OF_SESSION
                                                                     : event->count);
    if (event->end_of_session)
        out = put_literal(out, ",\"end_of_session\":true");
    out = put_class_field(out, event->kind);
    end_object(line, out);
}

static void json_gap(sink *self, const event_head *head, const gap_event *event)
{
    const gap_report *gap = &event->gap;
    const seq_layout *layout = head->stream->layout;
    char line[JSON_LINE_MAX];
    char *out = begin_stream_object(json_of(self), line, head, gap->kind == GAP_EXTRA ? "extra" : "gap");
    out = put_endpoint_fields(out, "sender", "sender_port", event->sender);
    if (gap->kind == GAP_EXTRA) {
        out = put_seq_field(out, layout, "seq", gap->first);
        out = put_class_field(out, event->kind);
    } else {
        out = put_seq_field(out, layout, "first", gap->first);
        out = put_seq_field(out, layout, "last", gap->last);
        out = put_unsigned_field(out, "count", gap->numbers);
        if (event->have_outage)
            out = put_unsigned_field(out, "outage_us", event->outage_us);
    }
    end_object(line, out);
}

// The delays' fields: their figures where any was measured, and the clock skew.
static char *put_delay_fields(char *out, const delay_figures *figures)
{
    if (figures->count > 0) {
        out = put_unsigned_field(out, "delay_min_us", figures->min_us);
        out = put_unsigned_field(out, "delay_p50_us", figures->p50_us);
        out = put_unsigned_field(out, "delay_p99_us", figures->p99_us);
        out = put_unsigned_field(out, "delay_max_us", figures->max_us);
    }
    out = put_unsigned_field(out, "clock_skew", figures->skew_count);
    return put_unsigned_field(out, "clock_skew_max_us", figures->skew_max_us);
}

static void json_stats(sink *self, const event_head *head, const stats_report *report)
{
    char line[JSON_LINE_MAX];
    char *out = begin_stream_object(json_of(self), line, head, "stats");
    out = put_unsigned_field(out, "packets", report->packets);
    out = put_unsigned_field(out, "gaps", report->gap_numbers);
    if (report->host_drops_counted)
        out = put_unsigned_field(out, "host_drops", report->host_drops);
    if (report->have_rate) {
        out = put_unsigned_field(out, "datagrams_per_s", report->datagrams_per_s);
        out = put_unsigned_field(out, "bits_per_s", report->bits_per_s);
        if (report->interarrival_count > 0) {
            out = put_unsigned_field(out, "interarrival_p50_us", report->interarrival_p50_us);
            out = put_unsigned_field(out, "interarrival_p99_us", report->interarrival_p99_us);
            out = put_unsigned_field(out, "interarrival_max_us", report->interarrival_max_us);
        }
    }
    if (report->have_delays)
        out = put_delay_fields(out, &report->delays);
    end_object(line, out);
}

// The class is in the datagram's own object.
static void json_classified(sink *, const event_head *, const class_event *)
{
}

// The count, as the stats object carries it.
static void json_host_drops(sink *, const event_head *, uint64_t)
{
}

// The latency, as the summary object carries it.
static void json_first_datagram(sink *, const event_head *, uint64_t)
{
}

// The counts in JSON's order, as the table of counters says which: a sender's entry adds its
// first and last number, a run that stamped arrivals the outages.
static char *put_counts(char *out, const counter_figures *figures, const seq_layout *layout,
                        bool outages, bool sender)
{
    const counter_order *order = counter_order_of(COUNTERS_JSON);
    for (int i = 0; i < order->count; i++) {
        const counter_row *row = &counter_rows[order->rows[i]];
        if (!counter_shown_for(&row->json, layout, outages, sender))
            continue;
        uint64_t value = row->value(figures);
        if (row->unit == UNIT_SEQUENCE)
            out = put_seq_field(out, layout, row->json.name, static_cast<int64_t>(value));
        else
            out = put_unsigned_field(out, row->json.name, value);
    }
    return out;
}

// One object, written a sender at a time: a table of 1,025 senders does not fit one line
// buffer.
static void json_ts_error(sink *self, const event_head *head, const ts_error *error)
{
    char line[JSON_LINE_MAX];
    char *out = begin_stream_object(json_of(self), line, head, "ts_error");
    out = put_text_field(out, "check", ts_check_name(error->check));
    if (error->check == TS_CONTINUITY) {
        out = put_unsigned_field(out, "pid", unsigned(error->pid));
        out = put_unsigned_field(out, "expected", error->expected);
        out = put_unsigned_field(out, "got", error->got);
        out = put_unsigned_field(out, "missing", error->missing);
        out = put_text_field(out, "cause", ts_cause_name(error->cause));
    } else if (error->fault != TS_NO_FAULT) {
        out = put_unsigned_field(out, "pid", unsigned(error->pid));
        if (error->program >= 0)
            out = put_unsigned_field(out, "program", unsigned(error->program));
        out = put_text_field(out, "fault", ts_fault_name(error->fault));
        if (error->fault == TS_TABLE_ID)
            out = put_unsigned_field(out, "table_id", error->got);
        if (error->fault == TS_ABSENT)
            out = put_unsigned_field(out, "limit_us", error->limit_us);
    }
    end_object(line, out);
}

// The transport stream's counts, with its PIDs one by one (as many as were listed).
static void json_ts_summary(json_sink *json, const event_head *head, const ts_counts *n)
{
    char line[JSON_LINE_MAX];
    char *out = begin_stream_object(json, line, head, "ts_summary");
    for (int i = 0; i < TS_COUNTER_ROWS; i++)
        out = put_unsigned_field(out, ts_counter_rows[i].json, ts_counter_rows[i].value(n));
    out = put_literal(put_field(out, "pids"), "[");
    output_write(line, static_cast<size_t>(out - line));
    for (int i = 0; i < n->listed; i++) {
        const ts_pid_counts *pid = &n->listed_pids[i];
        out = line;
        if (i > 0)
            *out++ = ',';
        out = put_unsigned(put_literal(out, "{\"pid\":"), pid->pid);
        out = put_unsigned_field(out, "packets", pid->packets);
        out = put_unsigned_field(out, "continuity_errors", pid->continuity_errors);
        *out++ = '}';
        output_write(line, static_cast<size_t>(out - line));
    }
    out = put_literal(line, "]}\n");
    output_write(line, static_cast<size_t>(out - line));
}

static void json_summary(sink *self, const event_head *head, const summary_event *event)
{
    const seq_layout *layout = head->stream->layout;
    const stream_snapshot *figures = event->figures;
    char line[JSON_LINE_MAX];
    char *out = begin_stream_object(json_of(self), line, head, "summary");
    out = put_field(out, "duration_s");
    out = put_unsigned(out, event->duration_us / 1000000);
    *out++ = '.';
    out = put_padded(out, static_cast<unsigned>(event->duration_us % 1000000), 6);
    if (figures->host_drops_counted)
        out = put_unsigned_field(out, "host_drops", figures->host_drops);
    if (event->from_capture) {
        out = put_unsigned_field(out, "fragmented", figures->fragmented);
        out = put_unsigned_field(out, "truncated", figures->truncated);
    }
    if (figures->join->heard)
        out = put_unsigned_field(out, "join_latency_us", figures->join->latency_us);
    if (event->rejoins_counted)
        out = put_unsigned_field(out, "rejoins", figures->join->rejoins);
    if (layout->have_count)
        out = put_text_field(out, "counts", "messages");
    out = put_literal(put_field(out, "senders"), "[");
    output_write(line, static_cast<size_t>(out - line));
    for (int i = 0; i < figures->sender_count; i++) {
        const sender_snapshot *sender = &figures->senders[i];
        const sender_entry *entry = sender->entry;
        out = line;
        if (i > 0)
            *out++ = ',';
        char host[HOST_TEXT_MAX] = "other senders";
        if (!entry->shared)
            format_host(host, &entry->address);
        out = put_json_string(put_literal(out, "{\"sender\":"), host);
        out = put_unsigned_field(out, "sender_port",
                                 entry->shared ? 0 : endpoint_port(&entry->address));
        if (entry->have_session && !entry->shared) {
            char session[SESSION_BYTES + 1];
            put_printable(session, entry->session, SESSION_BYTES);
            out = put_text_field(out, "session", session);
        }
        out = put_counts(out, &sender->figures, layout, event->outages, sender->has_numbers);
        if (figures->delays != nullptr) {
            delay_figures delay = delay_figures_of(&entry->delays);
            out = put_delay_fields(out, &delay);
        }
        *out++ = '}';
        output_write(line, static_cast<size_t>(out - line));
    }
    out = put_literal(line, "],\"total\":{");
    out = put_unsigned(put_literal(out, "\"senders\":"), figures->census.senders);
    if (figures->census.more)
        out = put_literal(out, ",\"more_senders\":true");
    out = put_counts(out, &figures->total, layout, event->outages, false);
    if (figures->delays != nullptr) {
        delay_figures delay = delay_figures_of(figures->delays);
        out = put_delay_fields(out, &delay);
    }
    out = put_literal(out, "}}\n");
    output_write(line, static_cast<size_t>(out - line));
    if (figures->ts != nullptr)
        json_ts_summary(json_of(self), head, figures->ts);
}

static void json_receive_buffer(sink *self, const event_head *head, const buffer_event *event)
{
    char line[JSON_LINE_MAX];
    char *out = begin_stream_object(json_of(self), line, head, "receive_buffer");
    out = put_unsigned_field(out, "requested", event->requested_bytes);
    out = put_unsigned_field(out, "granted", event->granted_bytes);
    if (event->cap_name != nullptr) {
        out = put_text_field(out, "cap_setting", event->cap_name);
        out = put_unsigned_field(out, "cap", event->cap_bytes);
    }
    end_object(line, out);
}

static void json_stall(sink *self, const event_head *head, uint64_t silent_ms)
{
    char line[JSON_LINE_MAX];
    char *out = begin_stream_object(json_of(self), line, head, "stall");
    end_object(line, put_unsigned_field(out, "silent_ms", silent_ms));
}

static void json_resume(sink *self, const event_head *head, uint64_t silent_ms)
{
    char line[JSON_LINE_MAX];
    char *out = begin_stream_object(json_of(self), line, head, "resume");
    end_object(line, put_unsigned_field(out, "silent_ms", silent_ms));
}

static void json_feed_gap(sink *self, const event_head *head, const feed_gap_event *event)
{
    char line[JSON_LINE_MAX];
    char *out = begin_object(json_of(self), line, head, "feed_gap");
    out = put_text_field(out, "feed", event->feed);
    out = put_seq_field(out, event->layout, "first", event->hole.first);
    out = put_seq_field(out, event->layout, "last", event->hole.last);
    end_object(line, out);
}

static void json_feed_lag(sink *self, const event_head *head, const feed_lag_event *event)
{
    char line[JSON_LINE_MAX];
    char *out = begin_object(json_of(self), line, head, "feed_lag");
    out = put_text_field(out, "feed", event->feed);
    out = put_text_field(out, "stream", event->line);
    end_object(line, put_unsigned_field(out, "window", event->window));
}

// Only where some number came on two lines or more is a line behind another.
static char *put_behind_fields(char *out, const histogram *behind, bool max_skew, uint64_t beyond)
{
    if (behind->total > 0) {
        out = put_unsigned_field(out, "behind_p50_us", histogram_percentile_us(behind, 50));
        out = put_unsigned_field(out, "behind_p99_us", histogram_percentile_us(behind, 99));
        out = put_unsigned_field(out, "behind_max_us", behind->max_us);
    }
    if (max_skew)
        out = put_unsigned_field(out, "beyond", beyond);
    return out;
}

static void json_feed_summary(sink *self, const event_head *head, const feed_summary_event *event)
{
    const feed_snapshot *figures = event->figures;
    const feed_counts *n = figures->counts;
    char line[JSON_LINE_MAX + FEED_LINES_MAX * (JSON_STRING_MAX(STREAM_NAME_MAX) + 256)];
    char *out = begin_object(json_of(self), line, head, "feed_summary");
    out = put_text_field(out, "feed", figures->name);
    out = put_unsigned_field(out, "numbers", n->numbers);
    out = put_unsigned_field(out, "missed", n->missed);
    out = put_unsigned_field(out, "late", n->late);
    out = put_unsigned_field(out, "lost", n->lost);
    if (figures->max_skew)
        out = put_unsigned_field(out, "lost_in_window", n->lost_in_window);
    out = put_literal(put_field(out, "lines"), "[");
    for (int i = 0; i < figures->line_count; i++) {
        if (i > 0)
            *out++ = ',';
        out = put_json_string(put_literal(out, "{\"stream\":"), figures->line_names[i]);
        out = put_unsigned_field(out, "alone", n->alone[i]);
        out = put_unsigned_field(out, "first", n->first[i]);
        out = put_behind_fields(out, &figures->behind->times[i], figures->max_skew, n->beyond[i]);
        *out++ = '}';
    }
    *out++ = ']';
    end_object(line, out);
}

// -s with -v: the feed's period, its lines as the summary has them, behind and beyond alone.
static void json_feed_period(sink *self, const event_head *head, const feed_period_event *event)
{
    if (event->line_count < 2)
        return;
    char line[JSON_LINE_MAX + FEED_LINES_MAX * (JSON_STRING_MAX(STREAM_NAME_MAX) + 256)];
    char *out = begin_object(json_of(self), line, head, "feed_period");
    out = put_text_field(out, "feed", event->feed);
    out = put_literal(put_field(out, "lines"), "[");
    for (int i = 0; i < event->line_count; i++) {
        if (i > 0)
            *out++ = ',';
        out = put_json_string(put_literal(out, "{\"stream\":"), event->line_names[i]);
        out = put_behind_fields(out, &event->behind[i], event->max_skew, event->beyond[i]);
        *out++ = '}';
    }
    *out++ = ']';
    end_object(line, out);
}

void json_sink_start(json_sink *json)
{
    json->calls = {.bound = json_bound,
                   .gap = json_gap,
                   .datagram = json_datagram,
                   .stats = json_stats,
                   .classified = json_classified,
                   .summary = json_summary,
                   .receive_buffer = json_receive_buffer,
                   .host_drops = json_host_drops,
                   .stall = json_stall,
                   .resume = json_resume,
                   .joined = json_joined,
                   .left = json_left,
                   .rejoined = json_rejoined,
                   .flush = flush_standard_output,
                   .verdict = json_verdict,
                   .feed_gap = json_feed_gap,
                   .feed_summary = json_feed_summary,
                   .feed_lag = json_feed_lag,
                   .feed_period = json_feed_period,
                   .first_datagram = json_first_datagram,
                   .query = json_query,
                   .no_query = json_no_query,
                   .ts_error = json_ts_error};
    json->second_shown = UINT64_MAX;
    json->have_sender = false;
}
