// Argument vectors built from arbitrary bytes (arguments split at NUL) through the command line
// reader: it must never crash, and what it accepts must keep the rules.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "app/app.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<std::string> words(1, "mcwatch");
    words.emplace_back();
    for (size_t i = 0; i < size && words.size() < 64; i++) {
        if (data[i] == '\0')
            words.emplace_back();
        else
            words.back().push_back(static_cast<char>(data[i]));
    }
    std::vector<char *> argv;
    for (std::string &word : words) {
        // A config file is read from its path: its reader has a target of its own, and here a
        // path could name a device that never ends.
        if (word.rfind("--config", 0) == 0)
            return 0;
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    settings options;
    int status = read_command_line(static_cast<int>(words.size()), argv.data(), &options);
    // 1: the help or the version was printed, and the tool exits 0.
    if (status != 0 && status != 1 && status != -1)
        abort();
    if (status == 0) {
        // A capture read alone names no group: its streams are found in it.
        if ((options.port == 0 || options.host == nullptr) &&
            (options.read_path == nullptr || options.host != nullptr))
            abort();
        // Nothing that only means something live comes with a capture.
        if (options.read_path != nullptr && (options.interface_name != nullptr || options.rcvbuf_bytes != 0))
            abort();
        if (options.period_us % 1000 != 0)
            abort();
        // Every field read from a datagram ends within the largest one.
        const seq_layout *layout = &options.layout;
        if (layout->given && layout->seq.offset + layout->seq.width_bytes > LAYOUT_PAYLOAD_MAX)
            abort();
        if (layout->have_count &&
            layout->count.offset + layout->count.width_bytes > LAYOUT_PAYLOAD_MAX)
            abort();
        if (options.have_sent_at &&
            (options.sent_at.field.offset + options.sent_at.field.width_bytes > LAYOUT_PAYLOAD_MAX ||
             options.sent_at.field.width_bytes < 4 || options.sent_at.unit_ns == 0))
            abort();
        // The host and source are arguments themselves, never copies that could dangle.
        bool host_is_argument = false;
        for (char *word : argv)
            host_is_argument = host_is_argument || word == options.host;
        if (!host_is_argument)
            abort();
    }
    return 0;
}
