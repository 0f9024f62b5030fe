#include "monitor/ts_tables.h"

#include <string.h>

#define ROLE_WATCHED 0x7f
#define ROLE_PMT 0x80

void ts_report_error(ts_stream *ts, ts_report report, void *context, const ts_error *error)
{
    ts->counts.errors[error->check]++;
    report(context, error);
}

static void report_fault(ts_stream *ts, ts_check check, int pid, ts_fault fault,
                         uint32_t table_id, int program, uint64_t limit_us, ts_report report,
                         void *context)
{
    ts_error error = {check, pid, 0, table_id, 0, TS_UNKNOWN, fault, program, limit_us};
    ts_report_error(ts, report, context, &error);
}

// What came again after its absence was said is timed again from now.
static void due_by(ts_stream *ts, uint64_t due_us)
{
    if (due_us < ts->due_utc_us)
        ts->due_utc_us = due_us;
}

// Whether what was last seen at last_us is absent past limit_us at now_us; if not, the time it
// would be is kept in *next_us where it is sooner.
static bool absent(uint64_t last_us, uint64_t limit_us, uint64_t now_us, uint64_t *next_us)
{
    uint64_t due_us = last_us + limit_us + 1;
    if (now_us >= due_us)
        return true;
    if (due_us < *next_us)
        *next_us = due_us;
    return false;
}

void ts_say_absences(ts_stream *ts, uint64_t now_us, ts_report report, void *context)
{
    uint64_t next_us = UINT64_MAX;
    if (!ts->pat_said && absent(ts->pat_utc_us, TS_PSI_ABSENT_US, now_us, &next_us)) {
        ts->pat_said = true;
        report_fault(ts, TS_PAT, 0, TS_ABSENT, 0, -1, TS_PSI_ABSENT_US, report, context);
    }
    for (int i = 0; i < ts->program_count; i++) {
        ts_program *program = &ts->programs[i];
        if (!program->said && absent(program->last_utc_us, TS_PSI_ABSENT_US, now_us, &next_us)) {
            program->said = true;
            report_fault(ts, TS_PMT, program->pid, TS_ABSENT, 0, program->number,
                         TS_PSI_ABSENT_US, report, context);
        }
    }
    for (int i = 0; i < ts->watched_count; i++) {
        ts_watched_pid *watched = &ts->watched[i];
        if (!watched->said && absent(watched->last_utc_us, ts->pid_timeout_us, now_us, &next_us)) {
            watched->said = true;
            report_fault(ts, TS_PID, watched->pid, TS_ABSENT, 0,
                         ts->programs[watched->program].number, ts->pid_timeout_us, report,
                         context);
        }
    }
    ts->due_utc_us = next_us;
}

static void forget_watched(ts_stream *ts, int place)
{
    ts->pid_role[ts->watched[place].pid] &= ROLE_PMT;
    int last = --ts->watched_count;
    if (place != last) {
        ts->watched[place] = ts->watched[last];
        ts->pid_role[ts->watched[place].pid] = static_cast<uint8_t>(
            (ts->pid_role[ts->watched[place].pid] & ROLE_PMT) | (place + 1));
    }
}

// Whether any program but the one at skip has its PMT on pid.
static bool pmt_pid_of_another(const ts_stream *ts, int pid, int skip)
{
    for (int i = 0; i < ts->program_count; i++)
        if (i != skip && ts->programs[i].pid == pid)
            return true;
    return false;
}

// A program the PAT no longer names, with the PIDs it named first.
static void forget_program(ts_stream *ts, int place)
{
    for (int i = ts->watched_count - 1; i >= 0; i--)
        if (ts->watched[i].program == place)
            forget_watched(ts, i);
    if (!pmt_pid_of_another(ts, ts->programs[place].pid, place))
        ts->pid_role[ts->programs[place].pid] &= ROLE_WATCHED;
    int last = --ts->program_count;
    if (place == last)
        return;
    ts->programs[place] = ts->programs[last];
    for (int i = 0; i < ts->watched_count; i++)
        if (ts->watched[i].program == last)
            ts->watched[i].program = static_cast<uint8_t>(place);
}

static int find_program(const ts_stream *ts, int number, int pid)
{
    for (int i = 0; i < ts->program_count; i++)
        if (ts->programs[i].number == number && ts->programs[i].pid == pid)
            return i;
    return -1;
}

// A PMT's PID is not PID 0 (the PAT's), nor the null PID.
static bool may_carry_pmt(int pid)
{
    return pid != 0 && pid != TS_NULL_PID;
}

// A PAT: its programs are watched for their PMT from now; a PAT of one section is the whole
// list, so a program it leaves out is forgotten.
static void read_pat(ts_stream *ts, const psi_section *pat, uint64_t now_us)
{
    ts->pat_utc_us = now_us;
    if (ts->pat_said) {
        ts->pat_said = false;
        due_by(ts, now_us + TS_PSI_ABSENT_US + 1);
    }
    if (pat->section_number == 0 && pat->last_section_number == 0)
        for (int i = ts->program_count - 1; i >= 0; i--) {
            size_t at = 0;
            int number, pid;
            bool named = false;
            while (!named && psi_pat_next(pat, &at, &number, &pid) == 1)
                named = number == ts->programs[i].number && pid == ts->programs[i].pid;
            if (!named)
                forget_program(ts, i);
        }
    size_t at = 0;
    int number, pid;
    while (psi_pat_next(pat, &at, &number, &pid) == 1) {
        if (number == 0 || !may_carry_pmt(pid) || find_program(ts, number, pid) >= 0)
            continue;
        if (ts->program_count == TS_PROGRAMS_MAX) {
            ts->limits_passed |= TS_PAST_PROGRAMS;
            continue;
        }
        ts->programs[ts->program_count++] = {static_cast<uint16_t>(number),
                                             static_cast<uint16_t>(pid), now_us, false};
        ts->pid_role[pid] |= ROLE_PMT;
        due_by(ts, now_us + TS_PSI_ABSENT_US + 1);
    }
}

// The PIDs a program's PMT names: those new are watched from now, those it no longer names
// are forgotten (where this program named them first).
static void name_pids(ts_stream *ts, int place, const psi_section *pmt, uint64_t now_us)
{
    size_t at = 0;
    int pid;
    while (psi_pmt_next(pmt, &at, &pid) == 1) {
        if (pid == TS_NULL_PID)
            continue;
        int role = ts->pid_role[pid] & ROLE_WATCHED;
        if (role != 0) {
            ts->watched[role - 1].named = true;
            continue;
        }
        if (ts->watched_count == TS_WATCHED_PIDS_MAX) {
            ts->limits_passed |= TS_PAST_PIDS;
            continue;
        }
        ts->watched[ts->watched_count] = {static_cast<uint16_t>(pid), static_cast<uint8_t>(place),
                                          false, true, now_us};
        ts->pid_role[pid] = static_cast<uint8_t>((ts->pid_role[pid] & ROLE_PMT) |
                                                 ++ts->watched_count);
        due_by(ts, now_us + ts->pid_timeout_us + 1);
    }
    for (int i = ts->watched_count - 1; i >= 0; i--) {
        if (ts->watched[i].program == place && !ts->watched[i].named)
            forget_watched(ts, i);
        else
            ts->watched[i].named = false;
    }
}

static void read_pmt(ts_stream *ts, int pid, const psi_section *pmt, uint64_t now_us)
{
    int place = find_program(ts, pmt->id, pid);
    if (place < 0)
        return;
    ts_program *program = &ts->programs[place];
    program->last_utc_us = now_us;
    if (program->said) {
        program->said = false;
        due_by(ts, now_us + TS_PSI_ABSENT_US + 1);
    }
    name_pids(ts, place, pmt, now_us);
}

// A whole section of PID 0 or a PMT's PID. One whose CRC fails is not read: it counts as none.
static void take_section(ts_stream *ts, int pid, const unsigned char *bytes, size_t length,
                         uint64_t now_us, ts_report report, void *context)
{
    psi_section section;
    psi_status status = psi_read(bytes, length, &section);
    if (status != PSI_READ && status != PSI_MALFORMED)
        return;
    int wanted = pid == 0 ? PSI_TABLE_PAT : PSI_TABLE_PMT;
    if (section.table_id != wanted) {
        report_fault(ts, pid == 0 ? TS_PAT : TS_PMT, pid, TS_TABLE_ID,
                     static_cast<uint32_t>(section.table_id), -1, 0, report, context);
        return;
    }
    if (status != PSI_READ)
        return;
    if (pid == 0)
        read_pat(ts, &section, now_us);
    else
        read_pmt(ts, pid, &section, now_us);
}

static ts_open_section *open_section_of(ts_stream *ts, int pid)
{
    for (ts_open_section &open : ts->sections)
        if (open.open && open.pid == pid)
            return &open;
    return nullptr;
}

// Takes bytes of the open section, as many as it still lacks; returns how many. A section
// whole, or one too long to be a PAT's or a PMT's, is closed (the whole one taken first).
static size_t fill_section(ts_stream *ts, ts_open_section *open, const unsigned char *bytes,
                           size_t length, uint64_t now_us, ts_report report, void *context)
{
    size_t taken = 0;
    while (taken < length && open->open) {
        size_t total = psi_section_bytes(open->bytes, open->have_bytes);
        size_t want = total == 0 ? 3 - open->have_bytes : total - open->have_bytes;
        if (total > PSI_SECTION_BYTES_MAX) {
            open->open = false;
            return length;
        }
        size_t part = want < length - taken ? want : length - taken;
        memcpy(open->bytes + open->have_bytes, bytes + taken, part);
        open->have_bytes += part;
        taken += part;
        if (total != 0 && open->have_bytes == total) {
            open->open = false;
            take_section(ts, open->pid, open->bytes, total, now_us, report, context);
        }
    }
    return taken;
}

// A place for a section to be read across packets: a free one, or else the one opened first,
// whose rest may never come (its PID gone quiet).
static ts_open_section *room_for_section(ts_stream *ts)
{
    ts_open_section *oldest = &ts->sections[0];
    for (ts_open_section &place : ts->sections) {
        if (!place.open)
            return &place;
        if (place.opened_utc_us < oldest->opened_utc_us)
            oldest = &place;
    }
    return oldest;
}

static void take_sections(ts_stream *ts, int pid, const unsigned char *payload, size_t length,
                          bool unit_start, uint64_t now_us, ts_report report, void *context)
{
    ts_open_section *open = open_section_of(ts, pid);
    size_t at = 0;
    if (unit_start) {
        size_t pointer = payload[0];
        if (1 + pointer > length)
            pointer = length - 1;
        if (open != nullptr)
            fill_section(ts, open, payload + 1, pointer, now_us, report, context);
        if (open != nullptr)
            open->open = false;    // what it lacked was not before the next section's start
        at = 1 + pointer;
    } else if (open != nullptr) {
        fill_section(ts, open, payload, length, now_us, report, context);
        return;
    }
    while (at < length && payload[at] != PSI_STUFFING) {
        open = room_for_section(ts);
        open->pid = static_cast<uint16_t>(pid);
        open->open = true;
        open->opened_utc_us = now_us;
        open->have_bytes = 0;
        at += fill_section(ts, open, payload + at, length - at, now_us, report, context);
    }
}

void ts_take_psi_packet(ts_stream *ts, const unsigned char *packet, int pid, bool repeat,
                        bool broken, uint64_t now_us, ts_report report, void *context)
{
    ts_check check = pid == 0 ? TS_PAT : TS_PMT;
    if ((packet[3] & 0xc0) != 0) {
        report_fault(ts, check, pid, TS_SCRAMBLED, 0, -1, 0, report, context);
        return;
    }
    ts_open_section *open = open_section_of(ts, pid);
    if (broken && open != nullptr)
        open->open = false;
    if (repeat || (packet[3] & 0x10) == 0)
        return;
    size_t start = 4;
    if ((packet[3] & 0x20) != 0)
        start += 1 + size_t(packet[4]);
    if (start >= TS_PACKET_BYTES)
        return;
    take_sections(ts, pid, packet + start, TS_PACKET_BYTES - start, (packet[1] & 0x40) != 0,
                  now_us, report, context);
}
