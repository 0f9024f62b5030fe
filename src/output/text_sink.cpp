#include "output/sink.h"

#include <errno.h>
#include <stdio.h>

#include "base/format.h"
#include "base/log.h"
#include "base/output.h"
#include "net/address.h"
#include "output/counters.h"

// " on <name>" after every line but a datagram's, where the run watches streams by name; else
// nothing.
static const char *on_stream(const event_head *head, char *out, size_t size)
{
    out[0] = '\0';
    if (head->stream->name != nullptr)
        snprintf(out, size, " on %s", head->stream->name);
    return out;
}

// The same, added to a line being built.
static char *put_on_stream(const event_head *head, char *end)
{
    if (head->stream->name == nullptr)
        return end;
    return put_text(put_literal(end, " on "), head->stream->name);
}

// A stream's name, as long as a line may carry.
#define ON_STREAM_MAX 160

static void text_bound(sink *, const event_head *head, const endpoint *address)
{
    char host[HOST_TEXT_MAX];
    format_host(host, address);
    // An IPv6 address is bracketed, so that its colons are not taken for the port's.
    bool ipv6 = address->storage.ss_family == AF_INET6;
    char on[ON_STREAM_MAX];
    log_line_at(stdout, head->at_utc_us, "info", "Socket is bound to %s%s%s:%hu%s", ipv6 ? "[" : "", host,
             ipv6 ? "]" : "", endpoint_port(address), on_stream(head, on, sizeof on));
}

// "host.port", as the datagram line writes a sender; returns the end, terminated.
static char *put_endpoint(char *out, const endpoint *address)
{
    out = format_host(out, address);
    *out++ = '.';
    out = put_unsigned(out, endpoint_port(address));
    *out = '\0';
    return out;
}

char *put_seq(char *out, const seq_layout *layout, int64_t seq)
{
    return layout->given ? put_unsigned(out, static_cast<uint64_t>(seq)) : put_signed(out, seq);
}

void put_session_text(char *out, const sender_entry *entry)
{
    if (entry->have_session)
        put_printable(put_literal(out, " session "), entry->session, SESSION_BYTES);
    else
        *out = '\0';
}

// A time as a reader wants it: "180 us", "2.1 ms", "1.25 s".
static char *put_duration(char *out, uint64_t time_us)
{
    if (time_us < 1000)
        return put_literal(put_unsigned(out, time_us), " us");
    if (time_us < 1000000) {
        out = put_unsigned(out, time_us / 1000);
        *out++ = '.';
        return put_literal(put_unsigned(out, time_us / 100 % 10), " ms");
    }
    out = put_unsigned(out, time_us / 1000000);
    *out++ = '.';
    return put_literal(put_padded(out, static_cast<unsigned>(time_us / 10000 % 100), 2), " s");
}

// "<first>1.2 ms, p50 1.5 ms, p99 2.0 ms, max 3.1 ms" where any delay was measured, and where
// the clocks disagreed "<skew>50 datagrams, up to 49.8 ms"; returns the end, unterminated.
static char *put_delays(char *out, const delay_figures *figures, const char *first,
                        const char *skew)
{
    if (figures->count > 0) {
        out = put_duration(put_text(out, first), figures->min_us);
        out = put_duration(put_literal(out, ", p50 "), figures->p50_us);
        out = put_duration(put_literal(out, ", p99 "), figures->p99_us);
        out = put_duration(put_literal(out, ", max "), figures->max_us);
    }
    if (figures->skew_count > 0) {
        out = put_unsigned(put_text(out, skew), figures->skew_count);
        out = put_duration(put_literal(out, " datagrams, up to "), figures->skew_max_us);
    }
    return out;
}

static void text_gap(sink *self, const event_head *head, const gap_event *event)
{
    const seq_layout *layout = head->stream->layout;
    const gap_report *gap = &event->gap;
    char line[LOG_PREFIX_MAX + 128 + ON_STREAM_MAX];
    char *end = log_begin_at(line, "info", head->at_utc_us);
    if (gap->kind == GAP_MISSED_ONE) {
        end = put_literal(end, "Missed packet: ");
        end = put_seq(end, layout, gap->first);
    } else if (gap->kind == GAP_MISSED_RUN) {
        end = put_literal(end, "Missed packets: ");
        end = put_seq(end, layout, gap->first);
        end = put_literal(end, " - ");
        end = put_seq(end, layout, gap->last);
    } else {
        end = put_literal(end, "Extra packet: ");
        end = put_seq(end, layout, gap->first);
    }
    if (event->per_sender) {
        end = put_literal(end, " from ");
        end = put_endpoint(end, event->sender);
    }
    log_end(stdout, line, put_on_stream(head, end));
    if (reinterpret_cast<text_sink *>(self)->verbose && event->have_outage) {
        char outage[32];
        *put_milliseconds(outage, event->outage_us) = '\0';
        char on[ON_STREAM_MAX];
        log_line_at(stdout, head->at_utc_us, "info", "Outage: %s ms%s", outage, on_stream(head, on, sizeof on));
    }
}

static void text_classified(sink *, const event_head *head, const class_event *event)
{
    char seq[FORMAT_INTEGER_MAX + 1];
    *put_seq(seq, head->stream->layout, event->seq) = '\0';
    char sender[HOST_TEXT_MAX + 8];
    put_endpoint(sender, event->sender);
    char on[ON_STREAM_MAX];
    log_line_at(stdout, head->at_utc_us, "info", "Seq %s from %s: %s%s", seq, sender, seq_class_name(event->kind),
             on_stream(head, on, sizeof on));
}

// The counts in the text's order, as the table of counters says which; a sender of its own
// adds its first and last number, a run that stamped arrivals the outages, --sent-at the
// delays.
static void log_counts(const event_head *head, const char *who, const counter_figures *figures,
                       bool own_sender, bool outages, const delay_record *delays)
{
    const seq_layout *layout = head->stream->layout;
    char line[LOG_PREFIX_MAX + 2048];
    char *end = put_text(put_literal(log_begin_at(line, "info", head->at_utc_us), "Summary: "), who);
    end = put_literal(end, ": ");
    const counter_order *order = counter_order_of(COUNTERS_TEXT);
    bool first = true;
    for (int i = 0; i < order->count; i++) {
        const counter_row *row = &counter_rows[order->rows[i]];
        if (!counter_shown_for(&row->text, layout, outages, own_sender))
            continue;
        end = put_literal(put_text(first ? end : put_literal(end, ", "), row->text.name), " ");
        first = false;
        end = put_counter_text(end, row, figures, layout);
        if (row->text_after != nullptr)
            end = put_text(end, row->text_after);
    }
    if (delays != nullptr) {
        delay_figures delay = delay_figures_of(delays);
        end = put_delays(end, &delay, ", delay min ", ", clock skew ");
    }
    log_end(stdout, line, put_on_stream(head, end));
}

// -v: how long the join took to bring the stream's first datagram, or that none came.
static void log_join_latency(const event_head *head, const join_watch *join, const char *on)
{
    if (!join->heard) {
        log_line_at(stdout, head->at_utc_us, "info", "Summary: no datagram since the join%s", on);
        return;
    }
    char latency[32];
    *put_milliseconds(latency, join->latency_us) = '\0';
    log_line_at(stdout, head->at_utc_us, "info", "Summary: join latency %s ms%s", latency, on);
}

// The transport stream's counts, as the table of its counters says which.
static void log_ts_summary(const event_head *head, const ts_counts *n)
{
    char line[LOG_PREFIX_MAX + 512 + ON_STREAM_MAX];
    char *end = put_literal(log_begin_at(line, "info", head->at_utc_us),
                            "Summary: transport stream: ");
    for (int i = 0; i < TS_COUNTER_ROWS; i++) {
        const ts_counter_row *row = &ts_counter_rows[i];
        if (i > 0)
            end = put_text(end, row->text_before != nullptr ? row->text_before : ", ");
        end = put_unsigned(put_literal(put_text(end, row->text), " "), row->value(n));
        if (row->text_after != nullptr)
            end = put_text(end, row->text_after);
    }
    log_end(stdout, line, put_on_stream(head, end));
}

static void text_summary(sink *self, const event_head *head, const summary_event *event)
{
    char on[ON_STREAM_MAX];
    on_stream(head, on, sizeof on);
    const stream_snapshot *figures = event->figures;
    for (int i = 0; i < figures->sender_count; i++) {
        const sender_snapshot *sender = &figures->senders[i];
        char who[HOST_TEXT_MAX + SESSION_BYTES + 24] = "other senders";
        if (!sender->entry->shared)
            put_session_text(put_endpoint(who, &sender->entry->address), sender->entry);
        log_counts(head, who, &sender->figures, sender->has_numbers, event->outages,
                   figures->delays != nullptr ? &sender->entry->delays : nullptr);
    }
    const sender_census *census = &figures->census;
    char who[96];
    snprintf(who, sizeof who, "%llu sender%s%s over %llu.%03llu s",
             static_cast<unsigned long long>(census->senders), census->senders == 1 ? "" : "s",
             census->more ? " and more" : "",
             static_cast<unsigned long long>(event->duration_us / 1000000),
             static_cast<unsigned long long>(event->duration_us / 1000 % 1000));
    log_counts(head, who, &figures->total, false, event->outages, figures->delays);
    if (event->from_capture)
        log_line_at(stdout, head->at_utc_us, "info", "Summary: dropped by this host: not known from a capture; "
                                 "fragmented %llu, truncated %llu%s",
                 static_cast<unsigned long long>(figures->fragmented),
                 static_cast<unsigned long long>(figures->truncated), on);
    else if (figures->host_drops_counted)
        log_line_at(stdout, head->at_utc_us, "info", "Summary: dropped by this host: %llu (receive buffer full)%s",
                 static_cast<unsigned long long>(figures->host_drops), on);
    else
        log_line_at(stdout, head->at_utc_us, "info", "Summary: dropped by this host: not counted on this platform%s",
                 on);
    if (reinterpret_cast<text_sink *>(self)->verbose && figures->join->timed)
        log_join_latency(head, figures->join, on);
    if (event->rejoins_counted)
        log_line_at(stdout, head->at_utc_us, "info", "Summary: rejoins %llu%s",
                    static_cast<unsigned long long>(figures->join->rejoins), on);
    if (figures->ts != nullptr)
        log_ts_summary(head, figures->ts);
}

// -v: "Query from 10.0.0.1 (IGMPv3, interval 125 s) on eth0", and "for <group>" after a
// query for one group.
static void text_query(sink *self, const event_head *head, const query_event *event)
{
    if (!reinterpret_cast<text_sink *>(self)->verbose)
        return;
    const query_reading *query = event->query;
    char line[LOG_PREFIX_MAX + 2 * HOST_TEXT_MAX + 64 + 96];
    char *end = put_literal(log_begin_at(line, "info", head->at_utc_us), "Query from ");
    end = format_query_host(end, query, query->querier);
    end = put_text(put_literal(end, " ("), query_version_name(query->version));
    if (query->interval_s != 0)
        end = put_literal(put_unsigned(put_literal(end, ", interval "), query->interval_s), " s");
    end = put_text(put_literal(end, ") on "), event->interface_name);
    if (!query->general)
        end = format_query_host(put_literal(end, " for "), query, query->group);
    log_end(stdout, line, end);
}

// "for 130 s", or "for 1.500 s" where the time is not whole seconds.
static char *put_seconds_text(char *out, uint64_t value_us)
{
    out = put_unsigned(out, value_us / 1000000);
    if (value_us % 1000000 != 0) {
        *out++ = '.';
        out = put_padded(out, static_cast<unsigned>(value_us / 1000 % 1000), 3);
    }
    return put_literal(out, " s");
}

static void text_no_query(sink *self, const event_head *head, const char *interface_name,
                          uint64_t silent_us)
{
    if (!reinterpret_cast<text_sink *>(self)->says_no_query)
        return;
    char line[LOG_PREFIX_MAX + 256 + 200];
    char *end = put_literal(log_begin_at(line, "info", head->at_utc_us), "No multicast query on ");
    end = interface_name != nullptr ? put_text(end, interface_name) : put_literal(end, "any interface");
    end = put_seconds_text(put_literal(end, " for "), silent_us);
    end = put_literal(end, ": a snooping switch may stop forwarding the group after its "
                           "membership interval (about 260 s)");
    log_end(stdout, line, end);
}

// "Rejoined 239.1.2.3 after 30 s of silence": said whatever the verbosity, as --rejoin asks.
static void text_rejoined(sink *, const event_head *head, const rejoin_event *event)
{
    char line[LOG_PREFIX_MAX + HOST_TEXT_MAX + 64 + ON_STREAM_MAX];
    char *end = put_literal(log_begin_at(line, "info", head->at_utc_us), "Rejoined ");
    end = format_host(end, event->group);
    end = put_seconds_text(put_literal(end, " after "), event->silent_us);
    log_end(stdout, line, put_on_stream(head, put_literal(end, " of silence")));
}

static void text_first_datagram(sink *self, const event_head *head, uint64_t latency_us)
{
    if (!reinterpret_cast<text_sink *>(self)->verbose)
        return;
    char latency[32];
    *put_milliseconds(latency, latency_us) = '\0';
    char on[ON_STREAM_MAX];
    log_line_at(stdout, head->at_utc_us, "info", "First datagram %s ms after the join%s", latency,
                on_stream(head, on, sizeof on));
}

static void text_receive_buffer(sink *, const event_head *head, const buffer_event *event)
{
    char cap[96] = "";
    if (event->granted_bytes < event->requested_bytes && event->cap_name != nullptr)
        snprintf(cap, sizeof cap, " (limited by %s = %llu)", event->cap_name,
                 static_cast<unsigned long long>(event->cap_bytes));
    log_line_at(stdout, head->at_utc_us, "info", "Receive buffer: requested %llu bytes, granted %llu bytes%s",
             static_cast<unsigned long long>(event->requested_bytes),
             static_cast<unsigned long long>(event->granted_bytes), cap);
}

static void text_host_drops(sink *, const event_head *head, uint64_t count)
{
    char on[ON_STREAM_MAX];
    log_line_at(stdout, head->at_utc_us, "info", "Dropped by this host: %llu (receive buffer full)%s",
             static_cast<unsigned long long>(count), on_stream(head, on, sizeof on));
}

static void text_stall(sink *, const event_head *head, uint64_t silent_ms)
{
    char on[ON_STREAM_MAX];
    log_line_at(stdout, head->at_utc_us, "info", "No datagrams for %llu ms%s", static_cast<unsigned long long>(silent_ms),
             on_stream(head, on, sizeof on));
}

static void text_resume(sink *, const event_head *head, uint64_t silent_ms)
{
    char on[ON_STREAM_MAX];
    log_line_at(stdout, head->at_utc_us, "info", "Datagrams resumed after %llu ms%s",
             static_cast<unsigned long long>(silent_ms), on_stream(head, on, sizeof on));
}

static void text_datagram(sink *self, const event_head *head, const datagram_event *event)
{
    text_sink *text = reinterpret_cast<text_sink *>(self);
    const seq_layout *layout = head->stream->layout;
    char line[LOG_PREFIX_MAX + 2 * DATAGRAM_PART_MAX + 3 * FORMAT_INTEGER_MAX + 32];
    char *end = log_begin_at(line, "info", head->at_utc_us);
    if (!layout->given) {
        end = format_datagram_from(end, &text->parts, event->sender, event->group,
                                   event->length_bytes, event->seq);
    } else {
        end = format_datagram_head(end, &text->parts, event->sender, event->group);
        end = format_layout_tail(end, layout, event->length_bytes, event->kind == SEQ_SHORT,
                                 static_cast<uint64_t>(event->seq), event->count,
                                 event->end_of_session);
    }
    log_end(stdout, line, end);
}

// -v: the period's rate, and how evenly its datagrams came.
static void log_rate(const event_head *head, const stats_report *report)
{
    char line[LOG_PREFIX_MAX + 8 * FORMAT_INTEGER_MAX + 96 + ON_STREAM_MAX];
    char *end = log_begin_at(line, "info", head->at_utc_us);
    end = put_literal(end, "Rate: ");
    end = put_unsigned(end, report->datagrams_per_s);
    end = put_literal(end, " datagrams/s, ");
    end = put_unsigned(end, report->bits_per_s / 1000000);
    *end++ = '.';
    end = put_padded(end, static_cast<unsigned>(report->bits_per_s / 10000 % 100), 2);
    // A period without two datagrams has no time between them to show.
    if (report->interarrival_count == 0) {
        end = put_literal(end, " Mbit/s; inter-arrival none");
    } else {
        end = put_literal(end, " Mbit/s; inter-arrival p50 ");
        end = put_duration(end, report->interarrival_p50_us);
        end = put_literal(end, ", p99 ");
        end = put_duration(end, report->interarrival_p99_us);
        end = put_literal(end, ", max ");
        end = put_duration(end, report->interarrival_max_us);
    }
    log_end(stdout, line, put_on_stream(head, end));
}

// -v with --sent-at: the period's one-way delays.
static void log_delays(const event_head *head, const delay_figures *figures)
{
    char line[LOG_PREFIX_MAX + 8 * FORMAT_INTEGER_MAX + 128 + ON_STREAM_MAX];
    char *end = put_literal(log_begin_at(line, "info", head->at_utc_us), "Delay: ");
    if (figures->count == 0)
        end = put_literal(end, "none measured");
    end = put_delays(end, figures, "min ", "; clock skew ");
    log_end(stdout, line, put_on_stream(head, end));
}

static void text_stats(sink *self, const event_head *head, const stats_report *report)
{
    char line[LOG_PREFIX_MAX + 64 + ON_STREAM_MAX];
    char *end = log_begin_at(line, "info", head->at_utc_us);
    end = put_literal(end, "Stats: packets - ");
    end = put_unsigned(end, report->packets);
    end = put_literal(end, "; gaps - ");
    end = put_unsigned(end, report->gaps);
    log_end(stdout, line, put_on_stream(head, end));
    if (reinterpret_cast<text_sink *>(self)->verbose && report->have_rate)
        log_rate(head, report);
    if (reinterpret_cast<text_sink *>(self)->verbose && report->have_delays)
        log_delays(head, &report->delays);
}

int flush_standard_output(sink *)
{
    int code = output_flush();
    // A write that failed while a line was added is the failure; else this flush's own.
    int earlier = output_take_error();
    return earlier != 0 ? earlier : code;
}

// The classic lines say nothing of the join and the leave; -v says what was joined.
static void text_joined(sink *self, const event_head *head, const join_event *event)
{
    if (!reinterpret_cast<text_sink *>(self)->verbose)
        return;
    char group[HOST_TEXT_MAX];
    format_host(group, event->group);
    char source[HOST_TEXT_MAX + 16] = "";
    if (event->source != nullptr)
        format_host(put_literal(source, ", source "), event->source);
    bool named = event->interface_name != nullptr;
    char on[ON_STREAM_MAX];
    on_stream(head, on, sizeof on);
    // " on <interface>" would read as a stream's name: a run of named streams says "via".
    bool streams = head->stream->name != nullptr;
    log_line_at(stdout, head->at_utc_us, "info", "Joined %s%s%s%s%s", group, named ? (streams ? " via " : " on ") : "",
             named ? event->interface_name : "", source, on);
}

static void text_verdict(sink *, const event_head *head, const verdict_event *event)
{
    if (event->received == 0) {
        log_line_at(stdout, head->at_utc_us, "info", "Verdict: no datagram came: status %d", event->status);
        return;
    }
    if (event->silent_stream != nullptr || event->silent_feed != nullptr) {
        log_line_at(stdout, head->at_utc_us, "info", "Verdict: nothing came on %s %s: status %d",
                 event->silent_stream != nullptr ? "stream" : "feed",
                 event->silent_stream != nullptr ? event->silent_stream : event->silent_feed,
                 event->status);
        return;
    }
    char drops[64] = "host drops not counted";
    if (event->host_drops_counted)
        snprintf(drops, sizeof drops, "%llu host drop%s",
                 static_cast<unsigned long long>(event->host_drops),
                 event->host_drops == 1 ? "" : "s");
    log_line_at(stdout, head->at_utc_us, "info", "Verdict: lost %llu number%s and %s, %s than %llu allowed: status %d",
             static_cast<unsigned long long>(event->lost), event->lost == 1 ? "" : "s", drops,
             event->status == 1 ? "more" : "no more", static_cast<unsigned long long>(event->allowed),
             event->status);
}

static void text_left(sink *, const event_head *, const endpoint *)
{
}

// "Feed futures lost: 20 - 24", the feed's own gap line.
static void text_feed_gap(sink *, const event_head *head, const feed_gap_event *event)
{
    char line[LOG_PREFIX_MAX + 2 * FORMAT_INTEGER_MAX + 64 + ON_STREAM_MAX];
    char *end = put_text(put_literal(log_begin_at(line, "info", head->at_utc_us), "Feed "), event->feed);
    end = put_seq(put_literal(end, " lost: "), event->layout, event->hole.first);
    if (event->hole.last != event->hole.first)
        end = put_seq(put_literal(end, " - "), event->layout, event->hole.last);
    log_end(stdout, line, end);
}

static void text_feed_lag(sink *, const event_head *head, const feed_lag_event *event)
{
    log_line_at(stdout, head->at_utc_us, "info", "Feed %s: %s lags more than the %llu numbers the feed holds: "
             "numbers were decided before its copies came", event->feed, event->line,
             static_cast<unsigned long long>(event->window));
}

// A share in tenths of a percent: "61.2%".
static char *put_share(char *out, uint64_t part, uint64_t whole)
{
    uint64_t tenths = whole == 0 ? 0 : (part * 1000 + whole / 2) / whole;
    out = put_unsigned(out, tenths / 10);
    *out++ = '.';
    out = put_unsigned(out, tenths % 10);
    *out++ = '%';
    return out;
}

// "; A behind p50 0.000 ms, p99 0.010 ms, max 0.200 ms, beyond 12, B behind none", where the
// feed has two lines or more to be behind one another.
static char *put_behind(char *end, const char *lead, int line_count, const char *const *names,
                        const histogram *behind, const uint64_t *beyond, bool max_skew)
{
    for (int line = 0; line < line_count && line_count > 1; line++) {
        end = put_literal(put_text(put_text(end, line == 0 ? lead : ", "), names[line]), " behind ");
        const histogram *times = &behind[line];
        if (times->total == 0) {
            end = put_literal(end, "none");
        } else {
            end = put_milliseconds(put_literal(end, "p50 "), histogram_percentile_us(times, 50));
            end = put_milliseconds(put_literal(end, " ms, p99 "), histogram_percentile_us(times, 99));
            end = put_literal(put_milliseconds(put_literal(end, " ms, max "), times->max_us), " ms");
        }
        if (max_skew)
            end = put_unsigned(put_literal(end, ", beyond "), beyond[line]);
    }
    return end;
}

static void text_feed_summary(sink *, const event_head *head, const feed_summary_event *event)
{
    const feed_snapshot *figures = event->figures;
    const feed_counts *n = figures->counts;
    char line[LOG_PREFIX_MAX + 512 + FEED_LINES_MAX * (2 * ON_STREAM_MAX + 192)];
    char *end = put_text(put_literal(log_begin_at(line, "info", head->at_utc_us), "Summary: feed "),
                         figures->name);
    end = put_unsigned(put_literal(end, ": numbers "), n->numbers);
    end = put_unsigned(put_literal(end, ", missed "), n->missed);
    end = put_unsigned(put_literal(end, ", late "), n->late);
    end = put_unsigned(put_literal(end, ", lost "), n->lost);
    if (figures->max_skew)
        end = put_unsigned(put_literal(end, ", lost in window "), n->lost_in_window);
    for (int line_index = 0; line_index < figures->line_count; line_index++) {
        end = put_text(put_literal(end, line_index == 0 ? "; " : ", "), figures->line_names[line_index]);
        end = put_unsigned(put_literal(end, " alone "), n->alone[line_index]);
        end = put_share(put_literal(end, ", first "), n->first[line_index], n->numbers);
    }
    end = put_behind(end, "; ", figures->line_count, figures->line_names, figures->behind->times,
                     n->beyond, figures->max_skew);
    log_end(stdout, line, end);
}

// -s with -v: "Feed orders: A behind p50 0.000 ms, ..." for the period.
static void text_feed_period(sink *self, const event_head *head, const feed_period_event *event)
{
    if (!reinterpret_cast<text_sink *>(self)->verbose || event->line_count < 2)
        return;
    char line[LOG_PREFIX_MAX + 64 + FEED_LINES_MAX * (2 * ON_STREAM_MAX + 192)];
    char *end = put_text(put_literal(log_begin_at(line, "info", head->at_utc_us), "Feed "), event->feed);
    end = put_behind(end, ": ", event->line_count, event->line_names, event->behind,
                     event->beyond, event->max_skew);
    log_end(stdout, line, end);
}

// What was wrong with the PAT, a PMT or a PID: "TS PAT: none on PID 0 for more than 0.500 s",
// "TS PMT: program 1 absent on PID 4096 for more than 0.500 s", "TS PID: PID 257 of program 1
// absent for more than 5 s", "TS PMT: a section of table 66 on PID 4096", "TS PAT: a
// scrambled packet on PID 0".
static char *put_fault(char *end, const ts_error *error)
{
    end = put_text(put_literal(end, "TS "), error->check == TS_PAT   ? "PAT: "
                                            : error->check == TS_PMT ? "PMT: "
                                                                     : "PID: ");
    if (error->fault == TS_TABLE_ID)
        end = put_unsigned(put_literal(end, "a section of table "), error->got);
    else if (error->fault == TS_SCRAMBLED)
        end = put_literal(end, "a scrambled packet");
    if (error->fault != TS_ABSENT)
        return put_unsigned(put_literal(end, " on PID "), unsigned(error->pid));
    if (error->check == TS_PAT) {
        end = put_literal(end, "none on PID 0");
    } else if (error->check == TS_PMT) {
        end = put_unsigned(put_literal(end, "program "), unsigned(error->program));
        end = put_unsigned(put_literal(end, " absent on PID "), unsigned(error->pid));
    } else {
        end = put_unsigned(put_literal(end, "PID "), unsigned(error->pid));
        end = put_unsigned(put_literal(end, " of program "), unsigned(error->program));
        end = put_literal(end, " absent");
    }
    return put_seconds_text(put_literal(end, " for more than "), error->limit_us);
}

static void text_ts_error(sink *, const event_head *head, const ts_error *error)
{
    char line[LOG_PREFIX_MAX + 160 + ON_STREAM_MAX];
    char *end = log_begin_at(line, "info", head->at_utc_us);
    if (error->check == TS_SYNC_BYTE_ERROR) {
        end = put_literal(end, "TS sync byte: a packet does not start with 0x47");
    } else if (error->check == TS_SYNC_LOSS) {
        end = put_literal(end, "TS sync loss: two packets in a row without their sync byte");
    } else if (error->check != TS_CONTINUITY) {
        end = put_fault(end, error);
    } else {
        end = put_unsigned(put_literal(end, "TS continuity: PID "), unsigned(error->pid));
        end = put_unsigned(put_literal(end, " expected "), error->expected);
        end = put_unsigned(put_literal(end, ", got "), error->got);
        if (error->missing == 0) {
            end = put_literal(end, ", repeated again");
        } else {
            end = put_unsigned(put_literal(end, ", "), error->missing);
            end = put_text(end, error->missing == 1 ? " packet missing" : " packets missing");
        }
        end = put_literal(put_text(put_literal(end, " ("), ts_cause_name(error->cause)), ")");
    }
    log_end(stdout, line, put_on_stream(head, end));
}

void text_sink_start(text_sink *text, bool verbose)
{
    text->verbose = verbose;
    text->says_no_query = verbose;
    text->calls = {.bound = text_bound,
                   .gap = text_gap,
                   .datagram = text_datagram,
                   .stats = text_stats,
                   .classified = text_classified,
                   .summary = text_summary,
                   .receive_buffer = text_receive_buffer,
                   .host_drops = text_host_drops,
                   .stall = text_stall,
                   .resume = text_resume,
                   .joined = text_joined,
                   .left = text_left,
                   .rejoined = text_rejoined,
                   .flush = flush_standard_output,
                   .verdict = text_verdict,
                   .feed_gap = text_feed_gap,
                   .feed_summary = text_feed_summary,
                   .feed_lag = text_feed_lag,
                   .feed_period = text_feed_period,
                   .first_datagram = text_first_datagram,
                   .query = text_query,
                   .no_query = text_no_query,
                   .ts_error = text_ts_error};
    datagram_parts_start(&text->parts);
}
