// Arbitrary datagrams through the per-datagram path: the sequence number in every layout, the
// sender's accounting, the gap check, the transport stream's packets (plain and after an RTP
// header), the sender's address text in either family, and the datagram line. The first byte picks the layout and the family; the rest is the datagram,
// copied to a buffer of exactly its length so that AddressSanitizer sees any read past its end.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "monitor/monitor.h"
#include "monitor/ts.h"
#include "net/address.h"
#include "output/datagram_line.h"
#include "output/sink.h"

static int64_t last_seq = NO_SEQUENCE;

// The layouts a first byte picks (bits 2 to 4): the classic one (-f with bit 0), the presets,
// and fields of every width and order, with counts of every width.
static const char *const layouts[] = {nullptr,           "rtp",          "moldudp64",
                                      "mdp3",            "4:8:be",       "4:4 2:1",
                                      "0:2:be 2:4:be",   "65505:2:be 0:2"};
#define LAYOUTS (sizeof layouts / sizeof layouts[0])

static seq_layout layout_named(const char *name, bool short_seq)
{
    seq_layout layout = classic_layout(short_seq);
    if (name == nullptr || find_layout_preset(name, &layout) == 0)
        return layout;
    char seq[32], count[32] = "";
    if (sscanf(name, "%31s %31s", seq, count) < 1 || parse_seq_field(seq, false, &layout.seq) < 0)
        abort();
    layout.given = true;
    layout.have_count = count[0] != '\0';
    if (layout.have_count && parse_seq_field(count, true, &layout.count) < 0)
        abort();
    return layout;
}

// Each layout's tracker keeps judging across inputs, as a sender's would across datagrams; the
// identities of its counts hold after every one.
static void check_tracking(size_t which, const seq_layout *layout, const seq_reading *reading,
                           int length)
{
    static tracker trackers[LAYOUTS];
    static bool started[LAYOUTS];
    tracker *track_of = &trackers[which];
    if (!started[which]) {
        seq_rules rules = rules_for_layout(layout);
        track_start(track_of, &rules, true);
        started[which] = true;
    }
    if (reading->too_short)
        track_short(track_of, length);
    else
        track(track_of, reading->seq, reading->count, length, nullptr);
    track_counts n = track_snapshot(track_of);
    bool saturated = n.received == UINT64_MAX || n.unique == UINT64_MAX || n.missed == UINT64_MAX ||
                     n.lost == UINT64_MAX;
    if (!saturated && (n.received != n.unique + n.duplicates + n.stale + n.short_datagrams ||
                       n.lost != n.missed - n.late))
        abort();
}

static void count_error(void *context, const ts_error *error)
{
    if (error->check == TS_CONTINUITY && (error->pid < 0 || error->pid >= TS_PIDS ||
                                          error->expected > 15 || error->got > 15 ||
                                          error->missing > 14))
        abort();
    if ((error->check == TS_PAT || error->check == TS_PMT || error->check == TS_PID) &&
        (error->pid < 0 || error->pid >= TS_PIDS || error->fault == TS_NO_FAULT ||
         (error->fault == TS_ABSENT) != (error->limit_us != 0)))
        abort();
    ++*static_cast<uint64_t *>(context);
}

// The datagram's packets judged as --format mpegts and rtp-mpegts would, each stream going on
// across inputs, its clock moved on by up to 2.55 s by the input's first byte: its counts add
// up after every one, and the programs and PIDs it watches stay within their bounds.
static void check_packets(const unsigned char *datagram, size_t length, bool after_loss,
                          uint64_t step_us)
{
    static ts_stream streams[2];
    static uint64_t errors_said[2];
    static uint64_t now_us = 1;
    static bool started;
    if (!started)
        for (ts_stream &ts : streams)
            ts_start(&ts, 1000000);
    started = true;
    now_us += step_us;
    for (int rtp = 0; rtp < 2; rtp++) {
        int offset = rtp ? rtp_payload_offset(datagram, length) : 0;
        if (offset < 0)
            continue;
        ts_stream *ts = &streams[rtp];
        ts_counts before = ts->counts;
        size_t payload = length - size_t(offset);
        ts_take(ts, datagram + offset, payload, rtp ? (after_loss ? TS_AFTER_LOSS : TS_IN_ORDER)
                                                    : TS_UNNUMBERED,
                now_us, count_error, &errors_said[rtp]);
        const ts_counts &n = ts->counts;
        uint64_t pid_packets = 0, pid_breaks = 0, all_errors = 0;
        for (int i = 0; i < n.listed; i++) {
            pid_packets += n.listed_pids[i].packets;
            pid_breaks += n.listed_pids[i].continuity_errors;
        }
        for (int check = 0; check < TS_CHECKS; check++)
            all_errors += n.errors[check];
        uint64_t breaks = n.continuity[TS_NETWORK] + n.continuity[TS_SOURCE] + n.continuity[TS_UNKNOWN];
        if (n.packets != before.packets + payload / TS_PACKET_BYTES || pid_packets > n.packets ||
            breaks != n.errors[TS_CONTINUITY] || pid_breaks > breaks || n.pids > TS_PIDS ||
            all_errors != errors_said[rtp] || (rtp == 0 && n.continuity[TS_NETWORK] != 0) ||
            (rtp == 1 && n.continuity[TS_UNKNOWN] != 0) ||
            n.errors[TS_SYNC_LOSS] > n.errors[TS_SYNC_BYTE_ERROR] ||
            ts->program_count > TS_PROGRAMS_MAX || ts->watched_count > TS_WATCHED_PIDS_MAX)
            abort();
        for (int i = 0; i < ts->watched_count; i++)
            if ((ts->pid_role[ts->watched[i].pid] & 0x7f) != i + 1 ||
                ts->watched[i].program >= ts->program_count)
                abort();
    }
}

// The sender, made from the datagram's first bytes.
static endpoint sender_of(const uint8_t *data, size_t size, bool ipv6)
{
    endpoint sender;
    endpoint_any(&sender, ipv6 ? AF_INET6 : AF_INET, static_cast<uint16_t>(size * 7));
    if (ipv6)
        memcpy(&reinterpret_cast<sockaddr_in6 *>(&sender.storage)->sin6_addr, data,
               size < 16 ? size : 16);
    else
        memcpy(&reinterpret_cast<sockaddr_in *>(&sender.storage)->sin_addr, data,
               size < 4 ? size : 4);
    return sender;
}

// The system's text for the host; false where it differs on purpose: glibc still writes the
// deprecated IPv4-compatible form ("::1.2.3.4") that the tool writes in hex.
static bool system_text(const endpoint *address, char *text)
{
    const void *host = address->storage.ss_family == AF_INET6
        ? static_cast<const void *>(&reinterpret_cast<const sockaddr_in6 *>(&address->storage)->sin6_addr)
        : static_cast<const void *>(&reinterpret_cast<const sockaddr_in *>(&address->storage)->sin_addr);
    static const unsigned char zeros[12] = {};
    if (address->storage.ss_family == AF_INET6 && memcmp(host, zeros, sizeof zeros) == 0)
        return false;
    return inet_ntop(address->storage.ss_family, host, text, HOST_TEXT_MAX) != nullptr;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0 || size - 1 > 65507)
        return 0;
    bool short_seq = (data[0] & 1) != 0;
    bool ipv6 = (data[0] & 2) != 0;
    size_t which = (data[0] >> 2) % LAYOUTS;
    size_t length = size - 1;
    unsigned char *datagram = static_cast<unsigned char *>(malloc(length == 0 ? 1 : length));
    memcpy(datagram, data + 1, length);

    seq_layout layout = layout_named(layouts[which], short_seq);
    seq_reading reading = read_layout(&layout, datagram, length);
    if (!layout.given && reading.seq != read_sequence(datagram, length, short_seq))
        abort();
    int64_t seq = reading.seq;
    check_tracking(which, &layout, &reading, static_cast<int>(length));
    check_packets(datagram, length, short_seq, uint64_t(data[0]) * 10000);
    seq_rules rules = rules_for_layout(&layout);
    gap_report gap = layout.given ? find_layout_gap(&rules, seq, reading.count, true, last_seq)
                                  : find_gap(seq, last_seq);
    if (gap.kind == GAP_NONE ? gap.missed != 0 || gap.numbers != 0
                             : gap.kind == GAP_MISSED_ONE && (gap.missed != 1 || gap.numbers != 1))
        abort();
    static text_sink text;
    text_sink_start(&text, false);
    if (gap.kind != GAP_NONE) {
        stream_label label = {nullptr, nullptr, &layout};
        event_head head = {&label, 0};
        gap_event event = {nullptr, gap, false, SEQ_NEXT, false, 0};
        text.calls.gap(&text.calls, &head, &event);
    }

    endpoint sender = sender_of(data + 1, length, ipv6);
    char sender_text[HOST_TEXT_MAX];
    char *text_end = format_host(sender_text, &sender);
    char expected_text[HOST_TEXT_MAX];
    if (text_end - sender_text >= HOST_TEXT_MAX ||
        (system_text(&sender, expected_text) && strcmp(sender_text, expected_text) != 0))
        abort();
    static endpoint group;
    static datagram_parts parts;
    if (group.storage.ss_family == 0) {
        int code;
        if (find_host("239.1.2.3", AF_INET, &group, &code) < 0)
            abort();
        endpoint_set_port(&group, 5000);
        datagram_parts_start(&parts);
    }
    char line[256];
    char *end = format_datagram_head(line, &parts, &sender, &group);
    if (layout.given)
        end = format_layout_tail(end, &layout, static_cast<int>(length), reading.too_short,
                                 static_cast<uint64_t>(seq), reading.count, reading.end_of_session);
    else
        end = format_datagram_tail(end, static_cast<int>(length), seq);
    char tail[64];
    if (!layout.given)
        snprintf(tail, sizeof tail, "seq %lld", static_cast<long long>(seq));
    else if (reading.too_short)
        snprintf(tail, sizeof tail, "too short for seq");
    else if (reading.end_of_session)
        snprintf(tail, sizeof tail, "seq %llu, count 65535 (end of session)",
                 static_cast<unsigned long long>(seq));
    else if (layout.have_count)
        snprintf(tail, sizeof tail, "seq %llu, count %u", static_cast<unsigned long long>(seq),
                 reading.count);
    else
        snprintf(tail, sizeof tail, "seq %llu", static_cast<unsigned long long>(seq));
    char expected[256];
    int expected_length = snprintf(expected, sizeof expected,
                                   "IP%s %s.%hu > %s.%hu: UDP, length %d, %s\n",
                                   ipv6 ? "6" : "", sender_text,
                                   endpoint_port(&sender), "239.1.2.3",
                                   static_cast<unsigned short>(5000), static_cast<int>(length),
                                   tail);
    if (end - line != expected_length ||
        memcmp(line, expected, static_cast<size_t>(expected_length)) != 0)
        abort();
    last_seq = layout.given ? next_expected(&rules, seq, reading.count) : seq;
    free(datagram);
    return 0;
}
