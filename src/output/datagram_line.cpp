#include "output/datagram_line.h"

#include <string.h>

#include "base/format.h"
#include "net/address.h"

char *format_datagram_sender(char *out, const char *protocol, const char *sender,
                             uint16_t sender_port)
{
    out = put_text(out, protocol);
    out = put_text(out, sender);
    *out++ = '.';
    return put_unsigned(out, sender_port);
}

char *format_datagram_group(char *out, const char *group, uint16_t group_port)
{
    out = put_text(out, " > ");
    out = put_text(out, group);
    *out++ = '.';
    out = put_unsigned(out, group_port);
    return put_text(out, ": UDP, length ");
}

char *format_datagram_tail(char *out, int length_bytes, int64_t seq)
{
    out = put_signed(out, length_bytes);
    out = put_literal(out, ", seq ");
    out = put_signed(out, seq);
    *out++ = '\n';
    return out;
}

void datagram_parts_start(datagram_parts *parts)
{
    parts->have_group = false;
    parts->have_sender = false;
}

char *format_layout_tail(char *out, const seq_layout *layout, int length_bytes, bool too_short,
                         uint64_t seq, uint32_t count, bool end_of_session)
{
    out = put_signed(out, length_bytes);
    if (layout->payload == PAYLOAD_TS) {
        *out++ = '\n';
        return out;
    }
    if (too_short) {
        out = put_literal(out, ", too short for seq\n");
        return out;
    }
    out = put_literal(out, ", seq ");
    out = put_unsigned(out, seq);
    if (layout->have_count && end_of_session) {
        out = put_literal(out, ", count 65535 (end of session)");
    } else if (layout->have_count) {
        out = put_literal(out, ", count ");
        out = put_unsigned(out, count);
    }
    *out++ = '\n';
    return out;
}

char *format_datagram_head(char *out, datagram_parts *parts, const endpoint *from,
                           const endpoint *group)
{
    char host[HOST_TEXT_MAX];
    if (!parts->have_group || !same_endpoint(group, &parts->group_shown)) {
        format_host(host, group);
        char *end = format_datagram_group(parts->group, host, endpoint_port(group));
        parts->group_length = static_cast<size_t>(end - parts->group);
        parts->group_shown = *group;
        parts->have_group = true;
    }
    if (!parts->have_sender || !same_endpoint(from, &parts->sender_shown)) {
        format_host(host, from);
        const char *protocol = from->storage.ss_family == AF_INET6 ? "IP6 " : "IP ";
        char *end = format_datagram_sender(parts->sender, protocol, host, endpoint_port(from));
        parts->sender_length = static_cast<size_t>(end - parts->sender);
        parts->sender_shown = *from;
        parts->have_sender = true;
    }
    out = put_bytes(out, parts->sender, parts->sender_length);
    return put_bytes(out, parts->group, parts->group_length);
}

char *format_datagram_from(char *out, datagram_parts *parts, const endpoint *from,
                           const endpoint *group, int length_bytes, int64_t seq)
{
    out = format_datagram_head(out, parts, from, group);
    return format_datagram_tail(out, length_bytes, seq);
}
