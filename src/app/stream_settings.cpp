// The settings of a stream that the command line and a config file share: the command line's
// stream, from which a config's streams start, and the interface as -i or a key gives it.
#include "app/app.h"

#include "base/numbers.h"

// The text given replaces whatever interface came before it, in whichever form.
int parse_interface(const char *text, stream_settings *stream)
{
    uint32_t index = 0;
    interface_form form = read_interface(text, &index);
    in_addr address;
    address.s_addr = htonl(INADDR_ANY);
    if (form == INTERFACE_ADDRESS)
        address.s_addr = inet_addr(text);
    if (form == INTERFACE_INVALID || address.s_addr == INADDR_NONE)
        return -1;
    stream->interface_index = index;
    stream->interface_addr = address;
    stream->interface_by_name = form == INTERFACE_NAME;
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
