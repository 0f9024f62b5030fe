// The numbers of a command line, read once for both programs: each reader returns true with
// the value, or false without a line, so that each program says which option was wrong its
// own way. No text overflows: a number past its limit is refused, whatever the limit.
#pragma once

#include <stdint.h>

// Decimal digits alone (no blank, sign or trailing text), 0 to limit.
bool read_whole_number(const char *text, uint64_t limit, uint64_t *value);

// As strtoul reads: blanks, then a plus, then digits, anything after them ignored; no minus
// (not even "-0"), 0 to limit.
bool read_leading_number(const char *text, uint64_t limit, uint64_t *value);

// A UDP port: digits alone, 1 to 65535.
bool read_port(const char *text, uint16_t *port);

// Bytes with an optional k or m suffix (KiB, MiB), 1 to most_bytes.
bool read_size(const char *text, uint64_t most_bytes, uint64_t *size_bytes);

// Seconds with up to six decimal places ("1.", ".5" and "0.5" alike), above 0 and at most
// most_s.
bool read_seconds(const char *text, uint64_t most_s, uint64_t *duration_us);

// The most milliseconds whose microseconds fit 32 bits.
const uint64_t PERIOD_MS_MAX = UINT32_MAX / 1000;

// What an interface's text is: digits alone its index (*index, 1 to 2^32 - 1; outside them
// INTERFACE_INVALID), digits and dots an IPv4 address (for inet_addr to read, so that a bad
// one is refused rather than looked up as a name), anything else a name.
enum interface_form { INTERFACE_INVALID, INTERFACE_INDEX, INTERFACE_ADDRESS, INTERFACE_NAME };
interface_form read_interface(const char *text, uint32_t *index);
