#include "app/config_read.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base/format.h"
#include "base/log.h"

const char *const key_names[KEY_COUNT] = {
    "name", "group", "port", "source", "interface", "format", "seq", "seq_count", "sent_at", "feed",
};

// "<file>:<line>: <what>", the one line every error in the file gets. A value quoted in it may
// hold any character a TOML escape writes: control characters are shown as escapes, so that
// the line stays one line and nothing reaches the terminal as a command.
int config_error(const char *path, int line, const char *format, ...)
{
    char what[512];
    va_list args;
    va_start(args, format);
    vsnprintf(what, sizeof what, format, args);
    va_end(args);
    static const char hex[] = "0123456789abcdef";
    char shown[4 * sizeof what];
    char *out = shown;
    for (const unsigned char *at = reinterpret_cast<const unsigned char *>(what); *at; at++) {
        if (*at >= 0x20 && *at != 0x7f) {
            *out++ = static_cast<char>(*at);
        } else if (*at == '\n' || *at == '\t' || *at == '\r') {
            *out++ = '\\';
            *out++ = *at == '\n' ? 'n' : *at == '\t' ? 't' : 'r';
        } else {
            out = put_literal(out, "\\x");
            *out++ = hex[*at >> 4];
            *out++ = hex[*at & 0xf];
        }
    }
    *out = '\0';
    log_line(stderr, "error", "%s:%d: %s", path, line, shown);
    return -1;
}

int line_of(const toml::node &node)
{
    return static_cast<int>(node.source().begin.line);
}

// Sorts a table's keys into their places; a key not known, or one that [defaults] may not
// give, is an error.
int read_keys(const char *path, const toml::table &table, bool defaults, table_keys *keys)
{
    *keys = table_keys{};
    keys->line = line_of(table);
    for (auto &&[key, value] : table) {
        int found = KEY_COUNT;
        for (int k = 0; k < KEY_COUNT; k++)
            if (key.str() == key_names[k])
                found = k;
        int line = static_cast<int>(key.source().begin.line);
        std::string name(key.str());
        if (found == KEY_COUNT)
            return config_error(path, line, "unknown key \"%s\"", name.c_str());
        if (defaults && found <= KEY_PORT)
            return config_error(path, line, "\"%s\" belongs to a stream, not to [defaults]",
                                name.c_str());
        keys->values[found] = &value;
    }
    return 0;
}

// The texts copied from a file, each behind a link to the one copied before: freed together.
struct kept_text {
    kept_text *before;
    char text[1];
};
static kept_text *last_kept = nullptr;

// A copy of a value's text that lives until free_config; null when memory ran out.
const char *keep_text(std::string_view text)
{
    kept_text *kept = static_cast<kept_text *>(malloc(sizeof(kept_text) + text.size()));
    if (kept == nullptr)
        return nullptr;
    memcpy(kept->text, text.data(), text.size());
    kept->text[text.size()] = '\0';
    kept->before = last_kept;
    last_kept = kept;
    return kept->text;
}

void free_kept_texts(void)
{
    while (last_kept != nullptr) {
        kept_text *before = last_kept->before;
        free(last_kept);
        last_kept = before;
    }
}

// The key's text, from the stream or else from [defaults]; null (and 0 returned) where
// neither gives it. Returns -1 after an error line for a value that is not a string.
int text_value(const char *path, const table_keys *stream, const table_keys *defaults,
                      config_key key, const char **text, int *line)
{
    const toml::node *value = stream->values[key];
    if (value == nullptr && defaults != nullptr)
        value = defaults->values[key];
    *text = nullptr;
    if (value == nullptr)
        return 0;
    *line = line_of(*value);
    const toml::value<std::string> *string = value->as_string();
    if (string == nullptr || string->get().empty())
        return config_error(path, *line, "%s must be a text in quotes", key_names[key]);
    // A text is used as a C string: a NUL would cut it short without a word.
    if (string->get().find('\0') != std::string::npos)
        return config_error(path, *line, "%s must not hold a NUL (\\u0000)", key_names[key]);
    *text = keep_text(string->get());
    if (*text == nullptr)
        return config_error(path, *line, "out of memory");
    return 0;
}
