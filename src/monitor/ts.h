// The transport stream inside a datagram, judged apart from any input or output: each 188-byte
// packet's sync byte, the stream's sync by its hysteresis, and each PID's continuity counter,
// with the cause of a break told from what the stream's datagram numbers said. Per stream the
// state is fixed: a byte and a bit for each of the 8,192 PIDs, and counts for the first
// TS_LISTED_PIDS_MAX PIDs found.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "base/mpegts.h"
// PIDs counted one by one in the summary; those found later count only in the stream's totals.
#define TS_LISTED_PIDS_MAX 64
static_assert(TS_LISTED_PIDS_MAX < 256, "a PID's slot is kept in a byte");

enum ts_check { TS_CONTINUITY, TS_SYNC_BYTE_ERROR, TS_SYNC_LOSS, TS_CHECKS };
enum ts_cause { TS_NETWORK, TS_SOURCE, TS_UNKNOWN, TS_CAUSES };

// What the stream's datagram numbers said of the datagram that carried the packets.
enum ts_numbering {
    TS_UNNUMBERED,    // no datagram numbers: a break's cause is unknown
    TS_IN_ORDER,      // nothing was missed before it
    TS_AFTER_LOSS,    // numbers were skipped before it
};

// One error as it happened. Continuity: the PID, the counter expected and the one got, and the
// packets missing at the least (0 for a repeat past the one allowed). Sync byte and sync loss
// have no PID (-1).
struct ts_error {
    ts_check check;
    int pid;
    uint32_t expected;
    uint32_t got;
    uint32_t missing;
    ts_cause cause;
};

struct ts_pid_counts {
    uint16_t pid;
    uint64_t packets;
    uint64_t continuity_errors;  // breaks, one each whatever it hid
};

// Never wrapping in practice (64 bits). packets counts every packet, null ones included, and
// continuity errors = the sum over causes.
struct ts_counts {
    uint64_t packets;
    uint32_t pids;                        // PIDs found
    uint64_t errors[TS_CHECKS];
    uint64_t continuity[TS_CAUSES];
    int listed;
    ts_pid_counts listed_pids[TS_LISTED_PIDS_MAX];  // in the order found
};

struct ts_stream {
    uint8_t pid_state[TS_PIDS];        // the last counter with a payload, and flags
    uint8_t pid_slot[TS_PIDS];         // 1 + its place in counts.listed_pids; 0: not listed
    uint64_t lost_since[TS_PIDS / 64]; // bit: datagram numbers were skipped since the PID's
                                       // last packet
    int good_in_row;                   // sync bytes in a row, for the hysteresis
    int bad_in_row;
    bool in_sync;
    ts_counts counts;
};
static_assert(TS_PIDS % 64 == 0, "lost_since holds whole words");

// Called for each error as it is found; context is the caller's.
typedef void (*ts_report)(void *context, const ts_error *error);

void ts_start(ts_stream *ts);

// Judges the packets of one datagram's payload (length bytes from its first packet) and counts
// them; numbering is what the datagram's number said. A trailing part of a packet is a sync
// byte error.
void ts_take(ts_stream *ts, const unsigned char *payload, size_t length, ts_numbering numbering,
             ts_report report, void *context);

// Where the packets of an RTP datagram start (after the fixed header, its CSRCs and its
// extension), or -1 when the header does not fit in length bytes.
int rtp_payload_offset(const unsigned char *datagram, size_t length);

const char *ts_check_name(ts_check check);
const char *ts_cause_name(ts_cause cause);
