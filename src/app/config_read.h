// What the files that read a --config share: the keys of one table, the one error line every
// fault in the file gets, the texts kept from it until free_config, and the steps that read a
// stream's table and check the streams together.
#pragma once

// toml++ reports a failed parse by its result here, never by an exception.
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

#include "app/app.h"

enum config_key {
    KEY_NAME,
    KEY_GROUP,
    KEY_PORT,
    KEY_SOURCE,
    KEY_INTERFACE,
    KEY_FORMAT,
    KEY_SEQ,
    KEY_SEQ_COUNT,
    KEY_SENT_AT,
    KEY_FEED,
    KEY_COUNT
};

extern const char *const key_names[KEY_COUNT];

// What one table gives, key by key (null: not given), and where the table begins.
struct table_keys {
    const toml::node *values[KEY_COUNT];
    int line;
};

// "<file>:<line>: <what>" on standard error. Returns -1.
int config_error(const char *path, int line, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
int line_of(const toml::node &node);
// Sorts a table's keys into their places; a key not known, or one that [defaults] may not
// give, is an error. Returns 0, or -1 after an error line.
int read_keys(const char *path, const toml::table &table, bool defaults, table_keys *keys);
// A copy of a value's text that lives until free_kept_texts; null when memory ran out.
const char *keep_text(std::string_view text);
void free_kept_texts(void);
// The key's text, from the stream or else from [defaults]; null (and 0 returned) where
// neither gives it. Returns -1 after an error line for a value that is not a string.
int text_value(const char *path, const table_keys *stream, const table_keys *defaults,
               config_key key, const char **text, int *line);

// One [[stream]] table's stream, on the command line's; the first interface key a capture
// ignores is said once (ignored_line). Returns 0, or -1 after an error line.
int read_stream(const char *path, const table_keys *stream, const table_keys *defaults,
                const settings *options, stream_settings *out, int *ignored_line);
// The streams checked together: none twice, and each feed's lines alike. Returns 0, or -1
// after an error line.
int check_streams(const char *path, const stream_settings *streams, int count);
