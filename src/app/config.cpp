#include "app/config.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// toml++ reports a failed parse by its result here, never by an exception.
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

#include "app/toml_depth.h"
#include "base/format.h"
#include "base/log.h"
#include "monitor/feed.h"
#include "net/address.h"
#include "net/interface.h"
#include "output/sink.h"

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

static const char *const key_names[KEY_COUNT] = {
    "name", "group", "port", "source", "interface", "format", "seq", "seq_count", "sent_at", "feed",
};

// What one table gives, key by key (null: not given), and where the table begins.
struct table_keys {
    const toml::node *values[KEY_COUNT];
    int line;
};

// "<file>:<line>: <what>", the one line every error in the file gets. A value quoted in it may
// hold any character a TOML escape writes: control characters are shown as escapes, so that
// the line stays one line and nothing reaches the terminal as a command.
static int config_error(const char *path, int line, const char *format, ...)
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

static int line_of(const toml::node &node)
{
    return static_cast<int>(node.source().begin.line);
}

// Sorts a table's keys into their places; a key not known, or one that [defaults] may not
// give, is an error.
static int read_keys(const char *path, const toml::table &table, bool defaults, table_keys *keys)
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
static const char *keep_text(std::string_view text)
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

static void free_kept_texts(void)
{
    while (last_kept != nullptr) {
        kept_text *before = last_kept->before;
        free(last_kept);
        last_kept = before;
    }
}

void free_config(settings *options)
{
    free(const_cast<stream_settings *>(options->streams));
    options->streams = nullptr;
    options->stream_count = 0;
    free_kept_texts();
}

// The key's text, from the stream or else from [defaults]; null (and 0 returned) where
// neither gives it. Returns -1 after an error line for a value that is not a string.
static int text_value(const char *path, const table_keys *stream, const table_keys *defaults,
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

// The group, the port and the source, checked as a join would check them.
static int read_address(const char *path, const table_keys *stream, const table_keys *defaults,
                        stream_settings *out)
{
    int line = stream->line;
    if (text_value(path, stream, nullptr, KEY_GROUP, &out->host, &line) < 0)
        return -1;
    if (out->host == nullptr)
        return config_error(path, stream->line, "the stream has no group");
    endpoint group;
    int code = 0;
    if (find_zoned_group(out->host, &group) < 0)
        return config_error(path, line, "unknown interface \"%s\" in the zone of \"%s\"",
                            strchr(out->host, '%') + 1, out->host);
    if (find_group(out->host, &group, &code) < 0 || !is_multicast(&group))
        return config_error(path, line, "invalid group \"%s\": not a multicast address",
                            out->host);
    const toml::node *port = stream->values[KEY_PORT];
    if (port == nullptr)
        return config_error(path, stream->line, "the stream has no port");
    std::optional<int64_t> number = port->value_exact<int64_t>();
    if (!number || *number < 1 || *number > 65535)
        return config_error(path, line_of(*port), "invalid port: a whole number from 1 to 65535");
    out->port = static_cast<uint16_t>(*number);
    if (text_value(path, stream, defaults, KEY_SOURCE, &out->source_host, &line) < 0)
        return -1;
    endpoint source;
    if (out->source_host != nullptr &&
        (find_host(out->source_host, group.storage.ss_family, &source, &code) < 0 ||
         !is_unicast(&source)))
        return config_error(path, line, "invalid source \"%s\": not a unicast address of the "
                                        "group's family", out->source_host);
    return 0;
}

// A capture joins nothing: its streams' interfaces are not looked up on this host, and the
// first one ignored is said (ignored_line: its line, or 0 while none was).
static int read_interface_key(const char *path, const table_keys *stream,
                              const table_keys *defaults, const settings *options,
                              stream_settings *out, int *ignored_line)
{
    const char *text = nullptr;
    int line = 0;
    if (text_value(path, stream, defaults, KEY_INTERFACE, &text, &line) < 0)
        return -1;
    if (text == nullptr)
        return 0;
    if (options->read_path != nullptr) {
        // Said once, in the file's own error form; the file is read on.
        if (*ignored_line == 0) {
            *ignored_line = line;
            config_error(path, line, "interface \"%s\" is ignored: a capture joins nothing", text);
        }
        return 0;
    }
    out->interface_addr.s_addr = htonl(INADDR_ANY);
    out->interface_index = 0;
    out->interface_by_name = false;
    if (parse_interface(text, out) < 0 ||
        (out->interface_by_name && find_interface(text) == 0) ||
        (out->interface_index != 0 && !interface_index_exists(out->interface_index)))
        return config_error(path, line, "unknown interface \"%s\"", text);
    return 0;
}

// The layout: a format, or a seq field (with a count), or else the command line's; and the
// sender's clock: sent_at, else the command line's --sent-at, else where a format carries it.
static int read_layout_keys(const char *path, const table_keys *stream, const table_keys *defaults,
                            const settings *options, stream_settings *out)
{
    const char *format = nullptr, *seq = nullptr, *seq_count = nullptr, *sent_at = nullptr;
    int format_line = 0, seq_line = 0, count_line = 0, sent_line = 0;
    // A stream's layout keys stand together: its seq is not joined to a format of [defaults].
    bool own = stream->values[KEY_FORMAT] != nullptr || stream->values[KEY_SEQ] != nullptr ||
               stream->values[KEY_SEQ_COUNT] != nullptr;
    const table_keys *from = own || defaults == nullptr ? stream : defaults;
    if (text_value(path, from, nullptr, KEY_FORMAT, &format, &format_line) < 0 ||
        text_value(path, from, nullptr, KEY_SEQ, &seq, &seq_line) < 0 ||
        text_value(path, from, nullptr, KEY_SEQ_COUNT, &seq_count, &count_line) < 0 ||
        text_value(path, stream, defaults, KEY_SENT_AT, &sent_at, &sent_line) < 0)
        return -1;
    if (format != nullptr && seq != nullptr)
        return config_error(path, seq_line, "format and seq cannot be given together");
    if (seq_count != nullptr && seq == nullptr)
        return config_error(path, count_line, "seq_count needs seq");
    if (format != nullptr) {
        if (find_layout_preset(format, &out->layout) < 0)
            return config_error(path, format_line, "unknown format \"%s\" (known: %s)", format,
                                layout_preset_names);
        out->have_sent_at = out->layout.have_sent_at;
        out->sent_at = out->layout.sent_at;
    }
    if (seq != nullptr) {
        seq_field number, count;
        if (parse_seq_field(seq, false, &number) < 0)
            return config_error(path, seq_line, "invalid seq \"%s\"", seq);
        if (seq_count != nullptr && parse_seq_field(seq_count, true, &count) < 0)
            return config_error(path, count_line, "invalid seq_count \"%s\"", seq_count);
        if (seq_count != nullptr && fields_overlap(&number, &count))
            return config_error(path, count_line, "seq_count must not overlap seq");
        out->layout = given_layout(&number, seq_count != nullptr ? &count : nullptr);
        out->have_sent_at = false;
    }
    if ((format != nullptr || seq != nullptr) && options->sent_at_given) {
        out->have_sent_at = true;
        out->sent_at = options->sent_at;
    }
    if (sent_at != nullptr) {
        if (parse_time_field(sent_at, &out->sent_at) < 0)
            return config_error(path, sent_line, "invalid sent_at \"%s\"", sent_at);
        out->have_sent_at = true;
    }
    return 0;
}

// "<group>:<port>", the group bracketed where it is IPv6.
static const char *default_name(const stream_settings *stream)
{
    char name[300];
    bool ipv6 = strchr(stream->host, ':') != nullptr;
    snprintf(name, sizeof name, "%s%s%s:%u", ipv6 ? "[" : "", stream->host, ipv6 ? "]" : "",
             stream->port);
    return keep_text(name);
}

// A name ends lines and labels: at most STREAM_NAME_MAX bytes, and nothing unprintable.
static int check_name(const char *path, const table_keys *stream, const char *name, config_key key)
{
    int line = stream->values[key] != nullptr ? line_of(*stream->values[key]) : stream->line;
    size_t length = strlen(name);
    for (size_t i = 0; i < length; i++)
        if (static_cast<unsigned char>(name[i]) < 0x20 || name[i] == 0x7f)
            return config_error(path, line, "%s must not hold control characters", key_names[key]);
    if (length > STREAM_NAME_MAX)
        return config_error(path, line, "%s is longer than %d bytes", key_names[key],
                            STREAM_NAME_MAX);
    return 0;
}

static int read_stream(const char *path, const table_keys *stream, const table_keys *defaults,
                       const settings *options, stream_settings *out, int *ignored_line)
{
    *out = command_line_stream(options);
    out->host = nullptr;
    out->source_host = nullptr;
    out->line = stream->line;
    out->file = path;
    int line = 0;
    if (read_address(path, stream, defaults, out) < 0 ||
        read_interface_key(path, stream, defaults, options, out, ignored_line) < 0 ||
        read_layout_keys(path, stream, defaults, options, out) < 0 ||
        text_value(path, stream, defaults, KEY_FEED, &out->feed, &line) < 0 ||
        text_value(path, stream, nullptr, KEY_NAME, &out->name, &line) < 0)
        return -1;
    if (out->name == nullptr)
        out->name = default_name(out);
    if (out->name == nullptr)
        return config_error(path, stream->line, "out of memory");
    return check_name(path, stream, out->name, KEY_NAME) < 0 ||
                   (out->feed != nullptr && check_name(path, stream, out->feed, KEY_FEED) < 0)
               ? -1
               : 0;
}

static bool same_text(const char *a, const char *b)
{
    return a == b || (a != nullptr && b != nullptr && strcmp(a, b) == 0);
}

static bool same_layout(const seq_layout *a, const seq_layout *b)
{
    return a->given == b->given && a->short_seq == b->short_seq &&
           (!a->given || (a->seq.offset == b->seq.offset && a->seq.width_bytes == b->seq.width_bytes &&
                          a->seq.big_endian == b->seq.big_endian)) &&
           a->have_count == b->have_count && a->session == b->session;
}

// Two streams of one group, port, source and interface would receive the same datagrams; a
// feed's lines must carry their numbers alike, and there are at most FEED_LINES_MAX of them.
// Each group and source is resolved once: a file may name thousands.
static int check_streams(const char *path, const stream_settings *streams, int count)
{
    endpoint *groups = static_cast<endpoint *>(calloc(size_t(count) * 2, sizeof *groups));
    if (groups == nullptr)
        return config_error(path, 1, "out of memory for %d streams", count);
    endpoint *sources = groups + count;
    for (int i = 0; i < count; i++) {
        int code = 0;
        find_group(streams[i].host, &groups[i], &code);
        if (streams[i].source_host != nullptr)
            find_host(streams[i].source_host, groups[i].storage.ss_family, &sources[i], &code);
    }
    int status = 0;
    for (int i = 0; i < count && status == 0; i++) {
        const stream_settings *s = &streams[i];
        int lines = 0;
        for (int j = 0; j < i && status == 0; j++) {
            const stream_settings *t = &streams[j];
            if (s->port == t->port && same_text(s->interface_name, t->interface_name) &&
                same_host(&groups[i], &groups[j]) &&
                (s->source_host != nullptr) == (t->source_host != nullptr) &&
                (s->source_host == nullptr || same_host(&sources[i], &sources[j])))
                status = config_error(path, s->line, "the same group, port, source and "
                                                     "interface as the stream at line %d", t->line);
            else if (same_text(s->name, t->name))
                status = config_error(path, s->line, "a second stream named \"%s\" (line %d)",
                                      s->name, t->line);
            else if (s->feed != nullptr && same_text(s->feed, t->feed) &&
                     !same_layout(&s->layout, &t->layout))
                status = config_error(path, s->line, "the lines of feed \"%s\" must carry their "
                                                     "numbers alike (line %d)", s->feed, t->line);
            else if (s->feed != nullptr && same_text(s->feed, t->feed) && ++lines >= FEED_LINES_MAX)
                status = config_error(path, s->line, "feed \"%s\" has more than %d lines", s->feed,
                                      FEED_LINES_MAX);
        }
    }
    free(groups);
    return status;
}

static int read_tables(const char *path, const toml::table &root, settings *options)
{
    table_keys defaults = {};
    const toml::array *tables = nullptr;
    for (auto &&[key, value] : root) {
        int line = static_cast<int>(key.source().begin.line);
        if (key.str() == "defaults" && value.is_table()) {
            if (read_keys(path, *value.as_table(), true, &defaults) < 0)
                return -1;
        } else if (key.str() == "stream" && value.is_array_of_tables()) {
            tables = value.as_array();
        } else {
            std::string name(key.str());
            return config_error(path, line, "unknown key \"%s\": a file has [defaults] and "
                                            "[[stream]] tables", name.c_str());
        }
    }
    if (tables == nullptr || tables->empty())
        return config_error(path, 1, "no [[stream]] table");
    if (tables->size() > CONFIG_STREAMS_MAX)
        return config_error(path, line_of(*tables->get(CONFIG_STREAMS_MAX)),
                            "more than %d streams", CONFIG_STREAMS_MAX);
    int count = static_cast<int>(tables->size());
    stream_settings *streams = static_cast<stream_settings *>(calloc(size_t(count), sizeof *streams));
    if (streams == nullptr)
        return config_error(path, 1, "out of memory for %d streams", count);
    int ignored_line = 0;
    for (int i = 0; i < count; i++) {
        table_keys keys;
        const toml::table *table = tables->get(size_t(i))->as_table();
        if (read_keys(path, *table, false, &keys) < 0 ||
            read_stream(path, &keys, &defaults, options, &streams[i], &ignored_line) < 0) {
            free(streams);
            free_kept_texts();
            return -1;
        }
    }
    if (check_streams(path, streams, count) < 0) {
        free(streams);
        free_kept_texts();
        return -1;
    }
    options->streams = streams;
    options->stream_count = count;
    return 0;
}

// The line of the first byte past ASCII, or 0 where there is none. toml++ 3.3 reaches an
// unreachable point on some characters past ASCII, and where it takes them for a string or
// not cannot be told from outside it on every malformed file: so a file is ASCII, and other
// characters are written as \uXXXX escapes in quotes, which it reads safely. A byte-order mark
// may begin the file.
static int line_of_stray_byte(const char *text, size_t length)
{
    int line = 1;
    size_t i = length >= 3 && memcmp(text, "\xef\xbb\xbf", 3) == 0 ? 3 : 0;
    for (; i < length; i++) {
        if (text[i] == '\n')
            line++;
        else if (static_cast<unsigned char>(text[i]) >= 0x80)
            return line;
    }
    return 0;
}

int read_config_text(const char *text, size_t length, const char *path, settings *options)
{
    int stray = line_of_stray_byte(text, length);
    if (stray != 0)
        return config_error(path, stray, "a character past ASCII: write it as a \\uXXXX escape "
                                         "in quotes");
    int deep = line_too_deep(text, length);
    if (deep != 0)
        return config_error(path, deep, "keys, tables and arrays nest deeper than %d levels",
                            CONFIG_DEPTH_MAX);
    toml::parse_result result = toml::parse(std::string_view(text, length), std::string_view(path));
    if (!result) {
        std::string what(result.error().description());
        return config_error(path, static_cast<int>(result.error().source().begin.line), "%s",
                            what.c_str());
    }
    return read_tables(path, result.table(), options);
}

#define CONFIG_BYTES_MAX (16u << 20)

int read_config(const char *path, settings *options)
{
    FILE *file = fopen(path, "rb");
    if (file == nullptr) {
        log_line(stderr, "error", "%s: %s", path, strerror(errno));
        return -1;
    }
    char *text = static_cast<char *>(malloc(CONFIG_BYTES_MAX));
    size_t length = text == nullptr ? 0 : fread(text, 1, CONFIG_BYTES_MAX, file);
    bool too_long = text != nullptr && length == CONFIG_BYTES_MAX;
    bool failed = text == nullptr || ferror(file);
    fclose(file);
    int status = -1;
    if (failed)
        log_line(stderr, "error", "%s: cannot be read", path);
    else if (too_long)
        log_line(stderr, "error", "%s: longer than %u MiB", path, CONFIG_BYTES_MAX >> 20);
    else
        status = read_config_text(text, length, path, options);
    free(text);
    return status;
}
