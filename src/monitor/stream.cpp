#include "monitor/stream.h"

#include "timer/timer.h"

void judge_start(stream_judge *judge, const seq_layout *layout, const time_field *sent_at,
                 uint32_t period_us, ts_stream *ts, uint64_t pid_timeout_us)
{
    judge->ts = ts;
    if (ts != nullptr)
        ts_start(ts, pid_timeout_us);
    judge->layout = layout;
    judge->rules = rules_for_layout(layout);
    judge->sent_at = sent_at;
    judge->last_seq = NO_SEQUENCE;
    judge->have_next = false;
    judge->next_seq = 0;
    judge->last_arrival_utc_us = 0;
    // A stream found after the start (a capture's) has its periods counted from its first
    // datagram: its period's figures start as empty as stats_start leaves them.
    judge->stats = stats_record{};
    judge->stats.period_us = period_us;
    histogram_clear(&judge->stats.interarrival);
    delay_clear(&judge->stats.delays);
    histogram_clear(&judge->interarrival);
    judge->interarrival_sum_us = 0;
    delay_clear(&judge->delays);
}

// The -g check: against the previous datagram of any sender, or with --per-sender of the same
// sender. A missed gap's outage runs from the datagram the check compared with.
static void check_gap(stream_judge *judge, const judge_settings *settings, take_outcome *out,
                      uint64_t arrival_us)
{
    const sender_entry *sender = out->sender;
    int64_t seq = out->reading.seq;
    if (judge->layout->given)
        out->gap = settings->per_sender
                       ? find_layout_gap(&judge->rules, seq, out->reading.count,
                                         sender->have_last, sender->next_seq)
                       : find_layout_gap(&judge->rules, seq, out->reading.count,
                                         judge->have_next, judge->next_seq);
    else
        out->gap = settings->per_sender ? find_gap_after(seq, sender->have_last, sender->last_seq)
                                        : find_gap(seq, judge->last_seq);
    if (out->gap.kind == GAP_NONE)
        return;
    uint64_t before_us = settings->per_sender ? sender->last_utc_us : judge->last_arrival_utc_us;
    if (settings->stamps && out->gap.kind != GAP_EXTRA && before_us != 0) {
        out->have_outage = true;
        out->outage_us = elapsed_us(arrival_us, before_us);
    }
    judge->stats.gaps += out->gap.missed;
    add_saturating(&judge->stats.gap_numbers, out->gap.numbers);
}

// Where arrivals are stamped: the outage of a gap the sender's accounting found, the period's
// bytes and times between datagrams, and with the sender's clock the one-way delay (for the
// period, the sender and the run; a datagram that ends before the clock's field has none).
static void note_times(stream_judge *judge, sender_entry *sender,
                       const received_datagram *datagram, seq_class kind)
{
    uint64_t arrival_us = datagram->arrival_utc_us;
    if (kind == SEQ_GAP && sender->last_utc_us != 0)
        track_outage(&sender->track, elapsed_us(arrival_us, sender->last_utc_us));
    judge->stats.bytes += static_cast<uint64_t>(datagram->length_bytes);
    if (judge->last_arrival_utc_us != 0) {
        uint64_t interval_us = elapsed_us(arrival_us, judge->last_arrival_utc_us);
        histogram_add(&judge->stats.interarrival, interval_us);
        histogram_add(&judge->interarrival, interval_us);
        judge->interarrival_sum_us += interval_us;
    }
    const time_field *sent_at = judge->sent_at;
    if (sent_at == nullptr || static_cast<uint64_t>(datagram->length_bytes) <
                                  uint64_t(sent_at->field.offset) + sent_at->field.width_bytes)
        return;
    uint64_t sent_us = read_time_us(sent_at, datagram->buffer);
    delay_add(&judge->stats.delays, sent_us, arrival_us);
    delay_add(&sender->delays, sent_us, arrival_us);
    delay_add(&judge->delays, sent_us, arrival_us);
}

// The numbers the datagram leaves for the next one's check, of any sender and of its own.
static void note_numbers(stream_judge *judge, sender_entry *sender, const seq_reading *reading)
{
    judge->last_seq = reading->seq;
    sender->have_last = true;
    sender->last_seq = reading->seq;
    if (judge->layout->given) {
        judge->have_next = true;
        judge->next_seq = next_expected(&judge->rules, reading->seq, reading->count);
        sender->next_seq = judge->next_seq;
    }
}

take_outcome stream_take(stream_judge *judge, const judge_settings *settings,
                         sender_table *senders, int place, const received_datagram *datagram)
{
    // Set field by field: the outcome is large, and this runs for every datagram.
    take_outcome out;
    out.gap.kind = GAP_NONE;
    out.have_outage = false;
    out.outage_us = 0;
    out.where.placed = false;
    out.numbering = TS_UNNUMBERED;
    const seq_layout *layout = judge->layout;
    out.reading = read_layout(layout, datagram->buffer, static_cast<size_t>(datagram->length_bytes));
    const unsigned char *session =
        layout->session && !out.reading.too_short ? datagram->buffer : nullptr;
    out.sender = find_sender(senders, place, &datagram->from, session, &judge->rules,
                             datagram->at_us);
    out.kind = SEQ_SHORT;
    uint64_t missed_before = out.sender->track.counts.missed;
    uint64_t late_before = out.sender->track.counts.late;
    out.sender_before_utc_us = out.sender->last_utc_us;
    if (out.reading.too_short)
        track_short(&out.sender->track, datagram->length_bytes);
    else
        out.kind = track(&out.sender->track, out.reading.seq, out.reading.count,
                         datagram->length_bytes, &out.where);
    out.missed_numbers = out.sender->track.counts.missed - missed_before;
    out.late_numbers = out.sender->track.counts.late - late_before;
    judge->stats.packets++;
    // A datagram whose number does not follow its sender's last (a gap, or one out of order)
    // lies apart from that one by what the network lost or moved.
    if (!judge->rules.unnumbered)
        out.numbering = out.sender->have_last && !out.reading.too_short &&
                                out.reading.seq != out.sender->next_seq
                            ? TS_AFTER_LOSS
                            : TS_IN_ORDER;
    if (settings->check_gaps && !out.reading.too_short && !judge->rules.unnumbered)
        check_gap(judge, settings, &out, datagram->arrival_utc_us);
    if (settings->stamps)
        note_times(judge, out.sender, datagram, out.kind);
    out.sender->last_utc_us = datagram->arrival_utc_us;
    judge->last_arrival_utc_us = datagram->arrival_utc_us;
    if (!out.reading.too_short)
        note_numbers(judge, out.sender, &out.reading);
    return out;
}

void stream_take_packets(stream_judge *judge, const received_datagram *datagram,
                         const take_outcome *taken, ts_report report, void *context)
{
    if (judge->ts == nullptr)
        return;
    size_t length = static_cast<size_t>(datagram->length_bytes);
    int offset = 0;
    if (judge->layout->payload == PAYLOAD_RTP_TS) {
        // A header that does not fit leaves nothing to judge but its bytes: a part of a packet.
        offset = rtp_payload_offset(datagram->buffer, length);
        if (offset < 0)
            offset = 0;
    }
    ts_take(judge->ts, datagram->buffer + offset, length - size_t(offset), taken->numbering,
            datagram->arrival_utc_us, report, context);
}
