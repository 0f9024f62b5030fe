// Arbitrary bytes as a --config file through the reader: it must never crash, and what it
// accepts must keep the rules every stream relies on.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "app/config.h"
#include "output/sink.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
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
