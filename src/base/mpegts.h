// The MPEG transport stream's packet, as mcwatch reads it and mcfeed writes it: 188 bytes from a
// sync byte, a 13-bit PID, and sections (PAT, PMT) closed by a CRC-32.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define TS_PACKET_BYTES 188
#define TS_SYNC_BYTE 0x47
#define TS_PIDS 8192
#define TS_NULL_PID 0x1fff

// CRC-32/MPEG-2 of a section's bytes: 0 over a whole section with its own CRC at the end.
uint32_t ts_crc32(const unsigned char *bytes, size_t length);
