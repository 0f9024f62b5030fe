// The settings of a stream that the command line and a config file share: the command line's
// stream, from which a config's streams start, and the interface as -i or a key gives it.
#include "app/app.h"

#include <string.h>

// Text of digits and dots alone is taken for an address, so that a bad one is still an
// invalid option.
int parse_interface(const char *text, stream_settings *stream)
{
    size_t digits = strspn(text, "0123456789");
    if (digits > 0 && text[digits] == '\0') {
        // Eleven digits already pass 32 bits: no longer text is read on.
        uint64_t index = 0;
        for (size_t i = 0; i < digits && i < 11; i++)
            index = index * 10 + static_cast<uint64_t>(text[i] - '0');
        if (index == 0 || index > UINT32_MAX || digits > 11)
            return -1;
        stream->interface_index = static_cast<uint32_t>(index);
    } else if (strspn(text, "0123456789.") == strlen(text)) {
        uint32_t address = static_cast<uint32_t>(inet_addr(text));
        if (address == static_cast<uint32_t>(INADDR_NONE))
            return -1;
        stream->interface_addr.s_addr = address;
    } else {
        stream->interface_by_name = true;
    }
    stream->interface_name = text;
    return 0;
}

stream_settings command_line_stream(const settings *options)
{
    stream_settings stream = {};
    stream.host = options->host;
    stream.port = options->port;
    stream.source_host = options->source_host;
    stream.interface_addr = options->interface_addr;
    stream.interface_index = options->interface_index;
    stream.interface_by_name = options->interface_by_name;
    stream.interface_name = options->interface_name;
    stream.layout = options->layout;
    stream.have_sent_at = options->have_sent_at;
    stream.sent_at = options->sent_at;
    return stream;
}
