#include "monitor/ts.h"

#include <string.h>

// A PID's byte: its last counter with a payload in the low four bits, and these.
#define PID_HAS_COUNTER 0x10   // a packet with a payload came: the next is judged against it
#define PID_REPEATED 0x20      // the last packet with a payload repeated its counter
#define PID_FOUND 0x40

// The hysteresis of sync: five good sync bytes in a row gain it, two bad ones lose it.
#define SYNC_GAINED_AFTER 5
#define SYNC_LOST_AFTER 2

const char *ts_check_name(ts_check check)
{
    static const char *const names[] = {"continuity", "sync_byte", "sync_loss"};
    static_assert(sizeof names / sizeof names[0] == TS_CHECKS, "a name for each check");
    return names[check];
}

const char *ts_cause_name(ts_cause cause)
{
    static const char *const names[] = {"network", "source", "unknown"};
    static_assert(sizeof names / sizeof names[0] == TS_CAUSES, "a name for each cause");
    return names[cause];
}

void ts_start(ts_stream *ts)
{
    memset(ts, 0, sizeof *ts);
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

static void report_error(ts_stream *ts, ts_report report, void *context, const ts_error *error)
{
    ts->counts.errors[error->check]++;
    report(context, error);
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
    ts_error error = {TS_SYNC_BYTE_ERROR, -1, TS_SYNC_BYTE, 0, 0, TS_UNKNOWN};
    report_error(ts, report, context, &error);
    if (++ts->bad_in_row >= SYNC_LOST_AFTER && ts->in_sync) {
        ts->in_sync = false;
        error.check = TS_SYNC_LOSS;
        report_error(ts, report, context, &error);
    }
}

static void note_pid(ts_stream *ts, int pid)
{
    if ((ts->pid_state[pid] & PID_FOUND) != 0)
        return;
    ts->pid_state[pid] |= PID_FOUND;
    ts->counts.pids++;
    if (ts->counts.listed < TS_LISTED_PIDS_MAX) {
        ts->counts.listed_pids[ts->counts.listed] = {static_cast<uint16_t>(pid), 0, 0};
        ts->pid_slot[pid] = static_cast<uint8_t>(++ts->counts.listed);
    }
}

static void continuity_error(ts_stream *ts, int pid, uint32_t got, uint32_t missing,
                             ts_cause cause, ts_report report, void *context)
{
    uint32_t expected = (ts->pid_state[pid] + 1u) & 0x0f;
    ts->counts.continuity[cause]++;
    if (ts->pid_slot[pid] != 0)
        ts->counts.listed_pids[ts->pid_slot[pid] - 1].continuity_errors++;
    ts_error error = {TS_CONTINUITY, pid, expected, got, missing, cause};
    report_error(ts, report, context, &error);
}

// The counter advances only on packets with a payload; one repeat of the last is allowed, and
// the discontinuity indicator starts the PID's counting again.
static void judge_counter(ts_stream *ts, const unsigned char *packet, int pid, ts_cause cause,
                          ts_report report, void *context)
{
    bool adaptation = (packet[3] & 0x20) != 0, payload = (packet[3] & 0x10) != 0;
    if (!payload || pid == TS_NULL_PID)
        return;
    uint32_t counter = packet[3] & 0x0fu;
    uint8_t state = ts->pid_state[pid];
    bool restart = adaptation && packet[4] > 0 && (packet[5] & 0x80) != 0;
    uint8_t kept = static_cast<uint8_t>((state & PID_FOUND) | PID_HAS_COUNTER | counter);
    if ((state & PID_HAS_COUNTER) == 0 || restart) {
        ts->pid_state[pid] = kept;
        return;
    }
    uint32_t last = state & 0x0fu;
    if (counter == last) {
        if ((state & PID_REPEATED) != 0)
            continuity_error(ts, pid, counter, 0, cause, report, context);
        ts->pid_state[pid] = kept | PID_REPEATED;
        return;
    }
    uint32_t step = (counter - last) & 0x0fu;
    if (step != 1)
        continuity_error(ts, pid, counter, step - 1, cause, report, context);
    ts->pid_state[pid] = kept;
}

static void take_packet(ts_stream *ts, const unsigned char *packet, ts_numbering numbering,
                        ts_report report, void *context)
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
    judge_counter(ts, packet, pid, cause, report, context);
}

void ts_take(ts_stream *ts, const unsigned char *payload, size_t length, ts_numbering numbering,
             ts_report report, void *context)
{
    // Numbers skipped before this datagram lie between every PID's last packet and its next.
    if (numbering == TS_AFTER_LOSS)
        memset(ts->lost_since, 0xff, sizeof ts->lost_since);
    size_t at = 0;
    for (; at + TS_PACKET_BYTES <= length; at += TS_PACKET_BYTES)
        take_packet(ts, payload + at, numbering, report, context);
    if (at < length)
        judge_sync(ts, false, report, context);
}
