// Arbitrary bytes as a --config file through the reader: it must never crash, what it accepts
// must keep the rules every stream relies on, and what toml++ is let read nests no deeper than
// the limit (the depth check before it agrees with toml++'s own reading).
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

#include "app/config.h"
#include "app/toml_depth.h"
#include "output/sink.h"

// The level of the deepest node under node: its keys or elements are a level below it.
static int depth_of(const toml::node &node)
{
    int deepest = -1;
    if (const toml::table *table = node.as_table())
        for (auto &&[key, value] : *table)
            deepest = std::max(deepest, depth_of(value));
    else if (const toml::array *array = node.as_array())
        for (const toml::node &value : *array)
            deepest = std::max(deepest, depth_of(value));
    return deepest + 1;
}

static void check_depth(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    if (line_too_deep(text, size) != 0)
        return;
    for (size_t i = 0; i < size; i++)
        if (data[i] >= 0x80)
            return;  // refused before toml++ is asked
    toml::parse_result result = toml::parse(std::string_view(text, size));
    // The root table's keys are level 1.
    if (result && depth_of(result.table()) > CONFIG_DEPTH_MAX)
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    check_depth(data, size);
    settings options = {};
    options.layout = classic_layout(false);
    int status = read_config_text(reinterpret_cast<const char *>(data), size, "fuzz.toml", &options);
    if (status != 0 && status != -1)
        abort();
    if (status == 0) {
        if (options.stream_count < 1 || options.stream_count > CONFIG_STREAMS_MAX)
            abort();
        for (int i = 0; i < options.stream_count; i++) {
            const stream_settings *s = &options.streams[i];
            if (s->host == nullptr || s->port == 0 || s->name == nullptr ||
                strlen(s->name) > STREAM_NAME_MAX || (s->feed != nullptr && strlen(s->feed) > STREAM_NAME_MAX))
                abort();
            const seq_layout *layout = &s->layout;
            if (layout->given && layout->seq.offset + layout->seq.width_bytes > LAYOUT_PAYLOAD_MAX)
                abort();
        }
    }
    free_config(&options);
    return 0;
}
