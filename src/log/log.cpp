#include "log/log.h"

#include <stdarg.h>
#include <string.h>

#include "log/format.h"
#include "net/socket.h"

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
    time_of_day now;
    clock_time_of_day(&now);
    return format_log_prefix(line, &now, level);
}

void log_end(FILE *stream, char *line, char *end)
{
    *end++ = '\n';
    fwrite(line, 1, static_cast<size_t>(end - line), stream);
}

void log_line(FILE *stream, const char *level, const char *format, ...)
{
    char line[1024];
    char *message = log_begin(line, level);
    // One byte stays free for the newline.
    size_t room = sizeof line - static_cast<size_t>(message - line) - 1;
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int length = vsnprintf(message, room + 1, format, args);
    if (length >= 0 && static_cast<size_t>(length) <= room) {
        log_end(stream, line, message + length);
    } else {
        // Too long for one buffer (a long host name, say): write it in pieces instead.
        fwrite(line, 1, static_cast<size_t>(message - line), stream);
        vfprintf(stream, format, again);
        fputc('\n', stream);
    }
    va_end(again);
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

void report_socket_error(const char *what)
{
    report_error(what, socket_last_error(), true);
}

void report_error_code(const char *what, int code)
{
    report_error(what, code, false);
}
