// A program-specific information section (the PAT, a PMT) read from its bytes, apart from the
// packets that carried it: its header, its CRC-32 checked, and the PIDs it names. Nothing is
// copied: a reading points into the section given.
#pragma once

#include <stddef.h>
#include <stdint.h>

// A PAT's or a PMT's section_length is at most 1,021: with its three bytes of header, 1,024.
#define PSI_SECTION_BYTES_MAX 1024
#define PSI_TABLE_PAT 0x00
#define PSI_TABLE_PMT 0x02
#define PSI_STUFFING 0xff   // a table id of 0xff is no section: the rest of the packet is filler

enum psi_status {
    PSI_READ,         // whole, its CRC right, its loops inside it
    PSI_SHORT,        // fewer bytes than its section_length says, or than a header and CRC
    PSI_TOO_LONG,     // a section_length past 1,021
    PSI_BAD_CRC,
    PSI_MALFORMED,    // its CRC right, but a loop runs past the section's end
};

struct psi_section {
    int table_id;
    int id;                   // table_id_extension: a PAT's stream id, a PMT's program number
    int section_number;
    int last_section_number;
    const unsigned char *body;  // after the eight-byte header, before the CRC
    size_t body_bytes;
};

// The bytes a section starting with these takes, header included, read from its first three
// (or 0 when fewer are given).
size_t psi_section_bytes(const unsigned char *start, size_t given);

// Reads the section of length bytes (a long section's syntax, closed by a CRC-32); *out is
// filled where it returns PSI_READ or PSI_MALFORMED.
psi_status psi_read(const unsigned char *bytes, size_t length, psi_section *out);

// A PAT's next program from *at (0 first): its number and its PMT's PID (the network PID
// where the number is 0). Returns 1, or 0 past the last.
int psi_pat_next(const psi_section *pat, size_t *at, int *program, int *pid);

// A PMT's next elementary PID from *at (0 first). Returns 1, 0 past the last, or -1 where a
// length runs past the section.
int psi_pmt_next(const psi_section *pmt, size_t *at, int *pid);
