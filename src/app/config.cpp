#include "app/config.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "app/config_read.h"
#include "app/toml_depth.h"
#include "base/log.h"

void free_config(settings *options)
{
    free(const_cast<stream_settings *>(options->streams));
    options->streams = nullptr;
    options->stream_count = 0;
    free_kept_texts();
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
