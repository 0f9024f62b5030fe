#include "monitor/ts.h"

#include <stdint.h>
#include <string.h>

#include "monitor/ts_tables.h"

// A PID's byte: its last counter with a payload in the low four bits, and these.
#define PID_HAS_COUNTER 0x10   // a packet with a payload came: the next is judged against it
#define PID_REPEATED 0x20      // the last packet with a payload repeated its counter
#define PID_FOUND 0x40

// A PID's role, in pid_role: the low bits are 1 + its place in watched.
#define ROLE_WATCHED 0x7f
#define ROLE_PMT 0x80

// The hysteresis of sync: five good sync bytes in a row gain it, two bad ones lose it.
#define SYNC_GAINED_AFTER 5
#define SYNC_LOST_AFTER 2

const char *ts_check_name(ts_check check)
{
    static const char *const names[] = {"continuity", "sync_byte", "sync_loss", "pat", "pmt",
                                        "pid"};
    static_assert(sizeof names / sizeof names[0] == TS_CHECKS, "a name for each check");
    return names[check];
}

const char *ts_cause_name(ts_cause cause)
{
    static const char *const names[] = {"network", "source", "unknown"};
    static_assert(sizeof names / sizeof names[0] == TS_CAUSES, "a name for each cause");
    return names[cause];
}

const char *ts_fault_name(ts_fault fault)
{
    static const char *const names[] = {"none", "absent", "table_id", "scrambled"};
    return names[fault];
}

void ts_start(ts_stream *ts, uint64_t pid_timeout_us)
{
    memset(ts, 0, sizeof *ts);
    ts->pid_timeout_us = pid_timeout_us;
}

int rtp_payload_offset(const unsigned char *datagram, size_t length)
{
    if (length < 12)
        return -1;
    size_t offset = 12 + 4 * size_t(datagram[0] & 0x0f);
    if ((datagram[0] & 0x10) != 0) {
        if (offset + 4 > length)
            return -1;
        offset += 4 + 4 * ((size_t(datagram[offset + 2]) << 8) | datagram[offset + 3]);
    }
    return offset <= length ? static_cast<int>(offset) : -1;
}

// A packet's sync byte, good or bad, through the hysteresis.
static void judge_sync(ts_stream *ts, bool good, ts_report report, void *context)
{
    if (good) {
        ts->bad_in_row = 0;
        if (++ts->good_in_row >= SYNC_GAINED_AFTER)
            ts->in_sync = true;
        return;
    }
    ts->good_in_row = 0;
    ts_error error = {TS_SYNC_BYTE_ERROR, -1, TS_SYNC_BYTE, 0, 0, TS_UNKNOWN, TS_NO_FAULT, -1, 0};
    ts_report_error(ts, report, context, &error);
    if (++ts->bad_in_row >= SYNC_LOST_AFTER && ts->in_sync) {
        ts->in_sync = false;
        error.check = TS_SYNC_LOSS;
        ts_report_error(ts, report, context, &error);
    }
}

static void note_pid(ts_stream *ts, int pid)
{
    if ((ts->pid_state[pid] & PID_FOUND) != 0)
        return;
    ts->pid_state[pid] |= PID_FOUND;
    ts->counts.pids++;
    if (ts->counts.listed < TS_LISTED_PIDS_MAX) {
        ts->counts.listed_pids[ts->counts.listed] = {static_cast<uint16_t>(pid), 0, 0, {}};
        ts->pid_slot[pid] = static_cast<uint8_t>(++ts->counts.listed);
    }
}

static void continuity_error(ts_stream *ts, int pid, uint32_t got, uint32_t missing,
                             ts_cause cause, ts_report report, void *context)
{
    uint32_t expected = (ts->pid_state[pid] + 1u) & 0x0f;
    ts->counts.continuity[cause]++;
    if (ts->pid_slot[pid] != 0) {
        ts_pid_counts *listed = &ts->counts.listed_pids[ts->pid_slot[pid] - 1];
        listed->continuity_errors++;
        listed->continuity[cause]++;
    }
    ts_error error = {TS_CONTINUITY, pid, expected, got, missing, cause, TS_NO_FAULT, -1, 0};
    ts_report_error(ts, report, context, &error);
}

// What a packet's counter said of its payload: the next, a repeat of the last, or after a break
// (or the first, or after the discontinuity indicator: no payload before it to follow).
enum counter_verdict { COUNTER_NEXT, COUNTER_REPEAT, COUNTER_BREAK };

// The counter advances only on packets with a payload; one repeat of the last is allowed, and
// the discontinuity indicator starts the PID's counting again.
static counter_verdict judge_counter(ts_stream *ts, const unsigned char *packet, int pid,
                                     ts_cause cause, ts_report report, void *context)
{
    bool adaptation = (packet[3] & 0x20) != 0, payload = (packet[3] & 0x10) != 0;
    if (!payload || pid == TS_NULL_PID)
        return COUNTER_NEXT;
    uint32_t counter = packet[3] & 0x0fu;
    uint8_t state = ts->pid_state[pid];
    bool restart = adaptation && packet[4] > 0 && (packet[5] & 0x80) != 0;
    uint8_t kept = static_cast<uint8_t>((state & PID_FOUND) | PID_HAS_COUNTER | counter);
    if ((state & PID_HAS_COUNTER) == 0 || restart) {
        ts->pid_state[pid] = kept;
        return COUNTER_BREAK;
    }
    uint32_t last = state & 0x0fu;
    if (counter == last) {
        bool again = (state & PID_REPEATED) != 0;
        if (again)
            continuity_error(ts, pid, counter, 0, cause, report, context);
        ts->pid_state[pid] = kept | PID_REPEATED;
        return again ? COUNTER_BREAK : COUNTER_REPEAT;
    }
    uint32_t step = (counter - last) & 0x0fu;
    if (step != 1)
        continuity_error(ts, pid, counter, step - 1, cause, report, context);
    ts->pid_state[pid] = kept;
    return step != 1 ? COUNTER_BREAK : COUNTER_NEXT;
}

// A packet of a PID a PMT names came at now_us: most packets are, so this stays beside the
// packet loop.
static void note_watched(ts_stream *ts, int place, uint64_t now_us)
{
    ts_watched_pid *watched = &ts->watched[place];
    watched->last_utc_us = now_us;
    if (watched->said) {
        watched->said = false;
        uint64_t due_us = now_us + ts->pid_timeout_us + 1;
        if (due_us < ts->due_utc_us)
            ts->due_utc_us = due_us;
    }
}

static void take_packet(ts_stream *ts, const unsigned char *packet, ts_numbering numbering,
                        uint64_t now_us, ts_report report, void *context)
{
    ts->counts.packets++;
    bool synced = packet[0] == TS_SYNC_BYTE;
    judge_sync(ts, synced, report, context);
    if (!synced)
        return;
    int pid = ((packet[1] & 0x1f) << 8) | packet[2];
    note_pid(ts, pid);
    if (ts->pid_slot[pid] != 0)
        ts->counts.listed_pids[ts->pid_slot[pid] - 1].packets++;
    uint64_t bit = uint64_t(1) << (pid % 64);
    ts_cause cause = numbering == TS_UNNUMBERED              ? TS_UNKNOWN
                     : (ts->lost_since[pid / 64] & bit) != 0 ? TS_NETWORK
                                                             : TS_SOURCE;
    ts->lost_since[pid / 64] &= ~bit;
    counter_verdict verdict = judge_counter(ts, packet, pid, cause, report, context);
    uint8_t role = ts->pid_role[pid];
    if ((role & ROLE_WATCHED) != 0)
        note_watched(ts, (role & ROLE_WATCHED) - 1, now_us);
    if (pid == 0 || (role & ROLE_PMT) != 0)
        ts_take_psi_packet(ts, packet, pid, verdict == COUNTER_REPEAT, verdict == COUNTER_BREAK,
                           now_us, report, context);
}

void ts_take(ts_stream *ts, const unsigned char *payload, size_t length, ts_numbering numbering,
             uint64_t at_utc_us, ts_report report, void *context)
{
    if (!ts->started) {
        ts->started = true;
        ts->pat_utc_us = at_utc_us;
        ts->due_utc_us = at_utc_us + TS_PSI_ABSENT_US + 1;
    }
    if (at_utc_us >= ts->due_utc_us)
        ts_say_absences(ts, at_utc_us, report, context);
    // Numbers skipped before this datagram lie between every PID's last packet and its next.
    if (numbering == TS_AFTER_LOSS)
        memset(ts->lost_since, 0xff, sizeof ts->lost_since);
    size_t at = 0;
    for (; at + TS_PACKET_BYTES <= length; at += TS_PACKET_BYTES)
        take_packet(ts, payload + at, numbering, at_utc_us, report, context);
    if (at < length)
        judge_sync(ts, false, report, context);
}
