// Text without printf: the hand-written conversions that the per-datagram lines are built
// from. Each writes at out and returns the end of what it wrote; nothing is terminated.
#pragma once

#include <stdint.h>
#include <string.h>

// Room for the longest integer text, "-9223372036854775808".
#define FORMAT_INTEGER_MAX 20

char *put_text(char *out, const char *text);

// A string literal, copied with its length known when compiling: no call, no scan.
template <size_t size> inline char *put_literal(char *out, const char (&text)[size])
{
    memcpy(out, text, size - 1);
    return out + size - 1;
}

// A text whose length is known.
inline char *put_bytes(char *out, const char *text, size_t length)
{
    memcpy(out, text, length);
    return out + length;
}
char *put_unsigned(char *out, uint64_t value);
char *put_signed(char *out, int64_t value);
// Microseconds as milliseconds with three places: "12.345".
char *put_milliseconds(char *out, uint64_t value_us);
// Zero-padded to at least digits places, as "%0*d" does for a value that is not negative.
char *put_padded(char *out, unsigned value, int digits);

// "2026-12-07T10:49:45.123456Z": the length for a year of four digits.
#define UTC_TEXT_LENGTH 27
// Room for any time put_utc is given: the last microsecond of 64 bits falls in year 586,524.
#define UTC_TEXT_MAX (UTC_TEXT_LENGTH + 2)

// UTC in ISO 8601 with microseconds and a Z, from microseconds since 1970 (proleptic Gregorian
// calendar, computed here so that every platform writes the same; a year past 9999 is written
// in full); returns the end, at most UTC_TEXT_MAX past out.
char *put_utc(char *out, uint64_t utc_us);

// A JSON string: the text between quotes, with quotes, backslashes and control characters
// escaped; valid UTF-8 passes as it is, and each byte that is not part of it becomes U+FFFD
// (an interface's name is bytes, and JSON is UTF-8); returns the end.
char *put_json_string(char *out, const char *text);

// Room put_json_string needs for a text of length bytes.
#define JSON_STRING_MAX(length) (6 * (length) + 2)

// Bytes from the wire shown as text: printable ASCII as it is, any other byte as '.', and the
// trailing spaces a padded name carries left out; terminated, returns the end.
char *put_printable(char *out, const unsigned char *bytes, size_t length);
