// Log output: every line the tool prints goes through here, opened by the local time of day
// and a level word ("info" on standard output, "error" on standard error).
#pragma once

#include <stdint.h>
#include <stdio.h>

#include "base/clock.h"

// Room for the longest prefix: "[hh:mm:ss.mmm] [" + a level word of up to 32 bytes + "] ".
#define LOG_PREFIX_MAX 56

// Writes "[%02d:%02d:%02d.%03d] [%s] " for the given time of day and level; returns the end.
char *format_log_prefix(char *out, const time_of_day *now, const char *level);

// Starts a line in line (which has LOG_PREFIX_MAX bytes for the prefix) with the current time
// of day, or with the local time of day at utc_us (an event's own time); returns where the
// message goes. log_end adds the newline and writes the line.
char *log_begin(char *line, const char *level);
char *log_begin_at(char *line, const char *level, uint64_t utc_us);
void log_end(FILE *stream, char *line, char *end);

// While a full-screen view draws on the terminal that standard error goes to (--top), error
// lines are held (up to LOG_HELD_ERRORS_MAX bytes; the rest are counted) and written when it
// stops holding them: drawn over by the view, they would be lost with its screen.
#define LOG_HELD_ERRORS_MAX 4096
void log_hold_errors(bool holding);

// Writes one line: prefix, the formatted message, newline. Before a line to standard error,
// standard output is flushed, so that lines keep their order; nothing else is flushed here.
void log_line(FILE *stream, const char *level, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// The same, opened by the local time of day at utc_us: an event's line, which says when it
// happened (a datagram's arrival, a period's end), not when it was written.
void log_line_at(FILE *stream, uint64_t utc_us, const char *level, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

// Writes "<what>: (<code>) <system text>" to standard error for the socket library's last
// error, or "<what>: (<code>) unknown error" when the system has no text for it.
void report_socket_error(const char *what);

// The same for a code the failed call returned instead of leaving it as the last error.
void report_error_code(const char *what, int code);

// The same for an errno code of the C library (a failed write, say), with its own text.
void report_c_error(const char *what, int code);
