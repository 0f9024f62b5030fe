// A [[stream]] table read into a stream: its address, its interface, its layout and its name.
#include "app/config_read.h"

#include <stdio.h>
#include <string.h>

#include "base/format.h"
#include "net/address.h"
#include "net/interface.h"
#include "output/sink.h"

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

int read_stream(const char *path, const table_keys *stream, const table_keys *defaults,
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
