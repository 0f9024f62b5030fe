#include "monitor/psi.h"

#include "base/mpegts.h"

// The long syntax's header: table id, length, id, version, section number, last section number.
#define HEADER_BYTES 8
#define CRC_BYTES 4

size_t psi_section_bytes(const unsigned char *start, size_t given)
{
    if (given < 3)
        return 0;
    return 3 + ((size_t(start[1] & 0x0f) << 8) | start[2]);
}

psi_status psi_read(const unsigned char *bytes, size_t length, psi_section *out)
{
    size_t total = psi_section_bytes(bytes, length);
    if (total == 0 || total > length)
        return PSI_SHORT;
    if (total > PSI_SECTION_BYTES_MAX)
        return PSI_TOO_LONG;
    if (total < HEADER_BYTES + CRC_BYTES)
        return PSI_SHORT;
    if (ts_crc32(bytes, total) != 0)
        return PSI_BAD_CRC;
    *out = {bytes[0], (bytes[3] << 8) | bytes[4], bytes[6], bytes[7], bytes + HEADER_BYTES,
            total - HEADER_BYTES - CRC_BYTES};
    if (bytes[0] == PSI_TABLE_PMT) {
        // The PCR PID and the program's own descriptors come before the streams.
        if (out->body_bytes < 4)
            return PSI_MALFORMED;
        size_t info = 4 + ((size_t(out->body[2] & 0x0f) << 8) | out->body[3]);
        if (info > out->body_bytes)
            return PSI_MALFORMED;
    }
    return PSI_READ;
}

int psi_pat_next(const psi_section *pat, size_t *at, int *program, int *pid)
{
    if (*at + 4 > pat->body_bytes)
        return 0;
    const unsigned char *entry = pat->body + *at;
    *program = (entry[0] << 8) | entry[1];
    *pid = ((entry[2] & 0x1f) << 8) | entry[3];
    *at += 4;
    return 1;
}

int psi_pmt_next(const psi_section *pmt, size_t *at, int *pid)
{
    if (*at == 0)
        *at = 4 + ((size_t(pmt->body[2] & 0x0f) << 8) | pmt->body[3]);
    if (*at == pmt->body_bytes)
        return 0;
    if (*at + 5 > pmt->body_bytes)
        return -1;
    const unsigned char *entry = pmt->body + *at;
    size_t info = (size_t(entry[3] & 0x0f) << 8) | entry[4];
    if (*at + 5 + info > pmt->body_bytes)
        return -1;
    *pid = ((entry[1] & 0x1f) << 8) | entry[2];
    *at += 5 + info;
    return 1;
}
