#include "base/log.h"

#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include "base/format.h"
#include "base/error_text.h"
#include "base/output.h"

char *format_log_prefix(char *out, const time_of_day *now, const char *level)
{
    *out++ = '[';
    out = put_padded(out, static_cast<unsigned>(now->hour), 2);
    *out++ = ':';
    out = put_padded(out, static_cast<unsigned>(now->minute), 2);
    *out++ = ':';
    out = put_padded(out, static_cast<unsigned>(now->second), 2);
    *out++ = '.';
    out = put_padded(out, static_cast<unsigned>(now->millisecond), 3);
    out = put_text(out, "] [");
    out = put_text(out, level);
    return put_text(out, "] ");
}

char *log_begin(char *line, const char *level)
{
    return log_begin_at(line, level, clock_utc_us());
}

char *log_begin_at(char *line, const char *level, uint64_t utc_us)
{
    // A busy stream logs thousands of lines a second, so what changes less often than every
    // line is kept: "[hh:mm:ss." until the second changes, "] [level] " until the level does.
    // Only the main thread logs through here.
    static time_of_day clock_shown = {-1, -1, -1, 0};
    static char clock_text[LOG_PREFIX_MAX];
    static const char *level_shown = nullptr;
    static char level_text[LOG_PREFIX_MAX];
    static size_t level_length = 0;
    const size_t clock_length = sizeof "[hh:mm:ss." - 1;
    time_of_day now;
    clock_time_of_day_at(utc_us, &now);
    if (now.second != clock_shown.second || now.minute != clock_shown.minute ||
        now.hour != clock_shown.hour) {
        clock_shown = now;
        format_log_prefix(clock_text, &now, "");
    }
    if (level != level_shown) {
        level_shown = level;
        char *end = put_literal(level_text, "] [");
        end = put_text(end, level);
        end = put_literal(end, "] ");
        level_length = static_cast<size_t>(end - level_text);
    }
    char *out = put_bytes(line, clock_text, clock_length);
    unsigned millisecond = static_cast<unsigned>(now.millisecond);
    out[0] = static_cast<char>('0' + millisecond / 100);
    out[1] = static_cast<char>('0' + millisecond / 10 % 10);
    out[2] = static_cast<char>('0' + millisecond % 10);
    return put_bytes(out + 3, level_text, level_length);
}

static bool holding_errors = false;
static char held_errors[LOG_HELD_ERRORS_MAX];
static size_t held_error_bytes = 0;
static unsigned long errors_not_held = 0;

void log_hold_errors(bool holding)
{
    holding_errors = holding;
    if (holding)
        return;
    fwrite(held_errors, 1, held_error_bytes, stderr);
    held_error_bytes = 0;
    if (errors_not_held > 0) {
        log_line(stderr, "error", "%lu more error lines came while the view was shown",
                 errors_not_held);
        errors_not_held = 0;
    }
}

static void hold_error(const char *line, size_t length)
{
    if (length > sizeof held_errors - held_error_bytes) {
        errors_not_held++;
        return;
    }
    memcpy(held_errors + held_error_bytes, line, length);
    held_error_bytes += length;
}

void log_end(FILE *stream, char *line, char *end)
{
    *end++ = '\n';
    size_t length = static_cast<size_t>(end - line);
    if (stream == stdout)
        output_write(line, length);
    else if (stream == stderr && holding_errors)
        hold_error(line, length);
    else
        fwrite(line, 1, length, stream);
}

static void log_line_of(FILE *stream, uint64_t utc_us, const char *level, const char *format,
                        va_list args)
{
    // Standard output is written in blocks; what it holds was printed before this error and
    // must be seen before it, on a terminal too.
    if (stream == stderr)
        output_flush();
    char line[1024];
    char *message = log_begin_at(line, level, utc_us);
    // One byte stays free for the newline.
    size_t room = sizeof line - static_cast<size_t>(message - line) - 1;
    va_list again;
    va_copy(again, args);
    int length = vsnprintf(message, room + 1, format, args);
    if (length >= 0 && static_cast<size_t>(length) <= room) {
        log_end(stream, line, message + length);
    } else if (length >= 0) {
        // Too long for one buffer (a long host name, say): made in one of its own.
        size_t size = static_cast<size_t>(message - line) + static_cast<size_t>(length) + 2;
        char *longer = static_cast<char *>(malloc(size));
        if (longer != nullptr) {
            char *long_message = put_bytes(longer, line, static_cast<size_t>(message - line));
            vsnprintf(long_message, static_cast<size_t>(length) + 1, format, again);
            log_end(stream, longer, long_message + length);
            free(longer);
        }
    }
    va_end(again);
}

void log_line(FILE *stream, const char *level, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    log_line_of(stream, clock_utc_us(), level, format, args);
    va_end(args);
}

void log_line_at(FILE *stream, uint64_t utc_us, const char *level, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    log_line_of(stream, utc_us, level, format, args);
    va_end(args);
}

static void report_error(const char *what, int code, bool read_code_again)
{
    char text[1024];
    int have_text = socket_error_text(code, text, sizeof text);
    // The lookup itself may fail and leave its own code behind; that is the code shown then.
    if (read_code_again)
        code = socket_last_error();
    if (have_text)
        log_line(stderr, "error", "%s: (%d) %s", what, code, text);
    else
        log_line(stderr, "error", "%s: (%d) unknown error", what, code);
}

// The failed call's code is restored after the line is written, for a caller that acts on it.
void report_socket_error(const char *what)
{
    int code = socket_last_error();
    report_error(what, code, true);
    socket_set_last_error(code);
}

void report_error_code(const char *what, int code)
{
    report_error(what, code, false);
}

void report_c_error(const char *what, int code)
{
    log_line(stderr, "error", "%s: (%d) %s", what, code, strerror(code));
}
