// Text built in memory, grown as it is written and kept between uses: a metrics page rendered
// once a second reuses the room the last one took.
#pragma once

#include <stddef.h>

struct text_buffer {
    char *data;      // not terminated; null until the first write
    size_t length;
    size_t capacity;
    bool failed;     // a write found no memory: the text is incomplete
};

void text_append(text_buffer *text, const char *data, size_t length);
void text_puts(text_buffer *text, const char *value);
void text_putc(text_buffer *text, char value);
void text_printf(text_buffer *text, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Empties the text, keeping its room.
void text_clear(text_buffer *text);
void text_free(text_buffer *text);

// Writes the text to path whole: to path.tmp first, then renamed over it, so a reader sees the
// old file or the new one. Returns 0, or -1 after an error line.
int write_text_file(const char *path, const text_buffer *text);
