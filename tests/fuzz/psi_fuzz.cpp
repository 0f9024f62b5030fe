// Arbitrary bytes as a section, read alone from a buffer of exactly its length (so that
// AddressSanitizer sees any read past its end), and then carried in the packets of PID 0 and
// of a PMT's PID, the first starting the unit: the loops stay inside the section, and the
// stream's programs and PIDs inside their bounds and agreeing with its map of PIDs. A section
// of the input's own bytes rarely passes its CRC, so when one would fail the first byte asks
// for its CRC to be put right.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "monitor/psi.h"
#include "monitor/ts.h"

static void check_section(const unsigned char *bytes, size_t length)
{
    psi_section section;
    psi_status status = psi_read(bytes, length, &section);
    if (status != PSI_READ && status != PSI_MALFORMED)
        return;
    if (section.body < bytes + 8 || section.body + section.body_bytes + 4 > bytes + length)
        abort();
    size_t at = 0;
    int program, pid;
    if (section.table_id == PSI_TABLE_PAT)
        while (psi_pat_next(&section, &at, &program, &pid) == 1)
            if (at > section.body_bytes || pid >= TS_PIDS)
                abort();
    at = 0;
    if (section.table_id == PSI_TABLE_PMT && status == PSI_READ)
        while (psi_pmt_next(&section, &at, &pid) == 1)
            if (at > section.body_bytes || pid >= TS_PIDS)
                abort();
}

static void ignore(void *, const ts_error *)
{
}

// The section in packets of pid: the first with a pointer field of 0, the rest continuing.
static void carry(ts_stream *ts, const unsigned char *section, size_t length, int pid,
                  uint64_t at_us)
{
    unsigned char packets[7 * TS_PACKET_BYTES];
    memset(packets, 0xff, sizeof packets);
    size_t taken = 0;
    int count = 0;
    for (; count < 7 && (count == 0 || taken < length); count++) {
        unsigned char *packet = packets + count * TS_PACKET_BYTES;
        packet[0] = TS_SYNC_BYTE;
        packet[1] = static_cast<unsigned char>((count == 0 ? 0x40 : 0) | (pid >> 8));
        packet[2] = static_cast<unsigned char>(pid);
        packet[3] = static_cast<unsigned char>(0x10 | (count & 0x0f));
        size_t start = count == 0 ? 5 : 4;
        if (count == 0)
            packet[4] = 0;
        size_t part = length - taken < TS_PACKET_BYTES - start ? length - taken
                                                               : TS_PACKET_BYTES - start;
        memcpy(packet + start, section + taken, part);
        taken += part;
    }
    ts_take(ts, packets, size_t(count) * TS_PACKET_BYTES, TS_UNNUMBERED, at_us, ignore, nullptr);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2 || size - 1 > 6 * TS_PACKET_BYTES)
        return 0;
    size_t length = size - 1;
    unsigned char *section = static_cast<unsigned char *>(malloc(length));
    memcpy(section, data + 1, length);
    size_t total = psi_section_bytes(section, length);
    if ((data[0] & 1) != 0 && total >= 12 && total <= length) {
        uint32_t crc = ts_crc32(section, total - 4);
        for (int i = 0; i < 4; i++)
            section[total - 4 + size_t(i)] = static_cast<unsigned char>(crc >> (24 - 8 * i));
    }
    check_section(section, length);
    // One stream across inputs: a PAT's programs name PMT PIDs later inputs may be carried on.
    static ts_stream ts;
    static uint64_t now_us;
    if (now_us == 0)
        ts_start(&ts, 1000000);
    now_us += uint64_t(data[0] >> 1) * 10000;
    int pid = (data[0] & 2) != 0 ? 0 : ts.program_count > 0 ? ts.programs[0].pid : 0x1000;
    carry(&ts, section, length, pid, now_us);
    if (ts.program_count > TS_PROGRAMS_MAX || ts.watched_count > TS_WATCHED_PIDS_MAX)
        abort();
    for (int i = 0; i < ts.watched_count; i++)
        if ((ts.pid_role[ts.watched[i].pid] & 0x7f) != i + 1 ||
            ts.watched[i].program >= ts.program_count)
            abort();
    for (int i = 0; i < ts.program_count; i++)
        if ((ts.pid_role[ts.programs[i].pid] & 0x80) == 0)
            abort();
    free(section);
    return 0;
}
