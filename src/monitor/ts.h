// The transport stream inside a datagram, judged apart from any input or output: each 188-byte
// packet's sync byte, the stream's sync by its hysteresis, and each PID's continuity counter,
// with the cause of a break told from what the stream's datagram numbers said; the PAT, the
// PMTs it names and the PIDs they name, each timed on the datagrams' own clock. Per stream the
// state is fixed: two bytes and a bit for each of the 8,192 PIDs, counts for the first
// TS_LISTED_PIDS_MAX PIDs found, and the programs, PIDs and open sections below.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "base/mpegts.h"
#include "monitor/psi.h"
// PIDs counted one by one in the summary; those found later count only in the stream's totals.
#define TS_LISTED_PIDS_MAX 64
static_assert(TS_LISTED_PIDS_MAX < 256, "a PID's slot is kept in a byte");

// Programs of the PAT watched for their PMT, and PIDs of the PMTs watched for their packets;
// those named past these are not watched. Sections read across packets at one time: a section
// starting while all are open takes the place of the one opened first.
#define TS_PROGRAMS_MAX 32
#define TS_WATCHED_PIDS_MAX 64
#define TS_SECTIONS_OPEN_MAX 4
static_assert(TS_PROGRAMS_MAX < 256, "a watched PID's program is kept in a byte");
static_assert(TS_WATCHED_PIDS_MAX < 128, "a PID's watched place is kept in seven bits");
// What the tables named past those limits, for the caller to say: the PAT more programs, the
// PMTs more PIDs.
#define TS_PAST_PROGRAMS 1
#define TS_PAST_PIDS 2
// The PAT, and each program's PMT, come at least this often.
#define TS_PSI_ABSENT_US 500000
// --pid-timeout's default: a PID named in a PMT comes at least this often.
#define TS_PID_TIMEOUT_DEFAULT_US 5000000

enum ts_check {
    TS_CONTINUITY, TS_SYNC_BYTE_ERROR, TS_SYNC_LOSS, TS_PAT, TS_PMT, TS_PID, TS_CHECKS
};
enum ts_cause { TS_NETWORK, TS_SOURCE, TS_UNKNOWN, TS_CAUSES };

// What the stream's datagram numbers said of the datagram that carried the packets.
enum ts_numbering {
    TS_UNNUMBERED,    // no datagram numbers: a break's cause is unknown
    TS_IN_ORDER,      // nothing was missed before it
    TS_AFTER_LOSS,    // numbers were skipped before it
};

// What was wrong with the PAT, a PMT or a PID.
enum ts_fault {
    TS_NO_FAULT,      // continuity and sync have none
    TS_ABSENT,        // none came for longer than its limit
    TS_TABLE_ID,      // a section of another table on its PID
    TS_SCRAMBLED,     // a packet of its PID scrambled
};

// One error as it happened. Continuity: the PID, the counter expected and the one got, and the
// packets missing at the least (0 for a repeat past the one allowed). Sync byte and sync loss
// have no PID (-1). The PAT, a PMT and a PID: the PID, what was wrong, the section's table id
// (in got), the program (-1: none) and the limit passed.
struct ts_error {
    ts_check check;
    int pid;
    uint32_t expected;
    uint32_t got;
    uint32_t missing;
    ts_cause cause;
    ts_fault fault;
    int program;
    uint64_t limit_us;
};

struct ts_pid_counts {
    uint16_t pid;
    uint64_t packets;
    uint64_t continuity_errors;  // breaks, one each whatever it hid
    uint64_t continuity[TS_CAUSES];  // the same by cause
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

// A program the PAT names, timed by its PMT.
struct ts_program {
    uint16_t number;
    uint16_t pid;             // of its PMT
    uint64_t last_utc_us;     // its last PMT read, or when the PAT first named it
    bool said;                // its absence was said: not again until its PMT comes
};

// A PID a PMT names, timed by its packets.
struct ts_watched_pid {
    uint16_t pid;
    uint8_t program;          // the place of the program that named it first
    bool said;
    bool named;               // named by the PMT being read
    uint64_t last_utc_us;     // its last packet, or when a PMT first named it
};

// A section read across packets.
struct ts_open_section {
    uint16_t pid;
    bool open;
    uint64_t opened_utc_us;
    size_t have_bytes;
    unsigned char bytes[PSI_SECTION_BYTES_MAX];
};

struct ts_stream {
    uint8_t pid_state[TS_PIDS];        // the last counter with a payload, and flags
    uint8_t pid_slot[TS_PIDS];         // 1 + its place in counts.listed_pids; 0: not listed
    uint8_t pid_role[TS_PIDS];         // 1 + its place in watched (low seven bits); the high
                                       // bit: a PMT's PID
    uint64_t lost_since[TS_PIDS / 64]; // bit: datagram numbers were skipped since the PID's
                                       // last packet
    int good_in_row;                   // sync bytes in a row, for the hysteresis
    int bad_in_row;
    bool in_sync;
    uint64_t pid_timeout_us;           // --pid-timeout
    bool started;                      // a datagram came: the PAT's clock runs
    bool pat_said;
    uint64_t pat_utc_us;               // the last PAT read, or the first datagram
    uint64_t due_utc_us;               // no absence can pass its limit before this
    int program_count;
    ts_program programs[TS_PROGRAMS_MAX];
    int watched_count;
    ts_watched_pid watched[TS_WATCHED_PIDS_MAX];
    ts_open_section sections[TS_SECTIONS_OPEN_MAX];
    uint8_t limits_passed;             // TS_PAST_*: what was named past a limit, not timed
    ts_counts counts;
};
static_assert(TS_PIDS % 64 == 0, "lost_since holds whole words");

// Called for each error as it is found; context is the caller's.
typedef void (*ts_report)(void *context, const ts_error *error);

// pid_timeout_us is how long a PID a PMT names may be absent.
void ts_start(ts_stream *ts, uint64_t pid_timeout_us);

// Judges the packets of one datagram's payload (length bytes from its first packet), which
// came at at_utc_us, and counts them; numbering is what the datagram's number said. A trailing
// part of a packet is a sync byte error. The PAT, a PMT or a PID absent past its limit is said
// by the first datagram after it, once until it comes again.
void ts_take(ts_stream *ts, const unsigned char *payload, size_t length, ts_numbering numbering,
             uint64_t at_utc_us, ts_report report, void *context);

// Where the packets of an RTP datagram start (after the fixed header, its CSRCs and its
// extension), or -1 when the header does not fit in length bytes.
int rtp_payload_offset(const unsigned char *datagram, size_t length);

const char *ts_check_name(ts_check check);
const char *ts_cause_name(ts_cause cause);
const char *ts_fault_name(ts_fault fault);
