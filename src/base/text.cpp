#include "base/text.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base/files.h"
#include "base/log.h"

// Room for length more bytes and a terminator (vsnprintf writes one). Returns false, and marks
// the text failed, when there is no memory for it.
static bool reserve(text_buffer *text, size_t length)
{
    if (text->failed)
        return false;
    size_t needed = text->length + length + 1;
    if (needed <= text->capacity)
        return true;
    size_t capacity = text->capacity < 4096 ? 4096 : text->capacity;
    while (capacity < needed)
        capacity *= 2;
    char *grown = static_cast<char *>(realloc(text->data, capacity));
    if (grown == nullptr) {
        text->failed = true;
        return false;
    }
    text->data = grown;
    text->capacity = capacity;
    return true;
}

void text_append(text_buffer *text, const char *data, size_t length)
{
    if (!reserve(text, length))
        return;
    memcpy(text->data + text->length, data, length);
    text->length += length;
}

void text_puts(text_buffer *text, const char *value)
{
    text_append(text, value, strlen(value));
}

void text_putc(text_buffer *text, char value)
{
    text_append(text, &value, 1);
}

void text_printf(text_buffer *text, const char *format, ...)
{
    char line[256];
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    if (length < 0) {
        text->failed = true;
        return;
    }
    if (static_cast<size_t>(length) < sizeof line) {
        text_append(text, line, static_cast<size_t>(length));
        return;
    }
    if (!reserve(text, static_cast<size_t>(length)))
        return;
    va_start(arguments, format);
    vsnprintf(text->data + text->length, static_cast<size_t>(length) + 1, format, arguments);
    va_end(arguments);
    text->length += static_cast<size_t>(length);
}

void text_clear(text_buffer *text)
{
    text->length = 0;
    text->failed = false;
}

void text_free(text_buffer *text)
{
    free(text->data);
    *text = {};
}

int write_text_file(const char *path, const text_buffer *text)
{
    char temporary[4096];
    if (snprintf(temporary, sizeof temporary, "%s.tmp", path) >= static_cast<int>(sizeof temporary)) {
        log_line(stderr, "error", "Failed to write \"%s\": the name is too long", path);
        return -1;
    }
    if (text->failed) {
        log_line(stderr, "error", "Failed to write \"%s\": (%d) %s", temporary, ENOMEM,
                 strerror(ENOMEM));
        return -1;
    }
    // Binary: the format's lines end in a line feed alone, on Windows too.
    FILE *file = fopen(temporary, "wb");
    if (file == nullptr) {
        log_line(stderr, "error", "Failed to write \"%s\": (%d) %s", temporary, errno,
                 strerror(errno));
        return -1;
    }
    bool failed = fwrite(text->data, 1, text->length, file) != text->length;
    int code = errno;
    if (fclose(file) != 0 && !failed) {
        failed = true;
        code = errno;
    }
    if (failed) {
        log_line(stderr, "error", "Failed to write \"%s\": (%d) %s", temporary, code,
                 strerror(code));
        remove(temporary);
        return -1;
    }
    return replace_file(temporary, path);
}
