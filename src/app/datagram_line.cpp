#include "app/datagram_line.h"

#include <string.h>

#include "log/format.h"
#include "net/address.h"

char *format_datagram_sender(char *out, const char *sender, uint16_t sender_port)
{
    out = put_text(out, "IP ");
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

char *format_datagram_message(char *out, const char *sender, uint16_t sender_port,
                              const char *group, uint16_t group_port, int length_bytes,
                              int64_t seq)
{
    out = format_datagram_sender(out, sender, sender_port);
    out = format_datagram_group(out, group, group_port);
    return format_datagram_tail(out, length_bytes, seq);
}

void datagram_parts_start(datagram_parts *parts, const sockaddr_in *group_addr)
{
    char group[IPV4_TEXT_MAX];
    format_ipv4(group, group_addr->sin_addr);
    char *end = format_datagram_group(parts->group, group, ntohs(group_addr->sin_port));
    parts->group_length = static_cast<size_t>(end - parts->group);
    parts->have_sender = false;
}

char *format_datagram_from(char *out, datagram_parts *parts, const sockaddr_in *from,
                           int length_bytes, int64_t seq)
{
    if (!parts->have_sender || from->sin_addr.s_addr != parts->sender_addr.s_addr ||
        from->sin_port != parts->sender_port) {
        char sender[IPV4_TEXT_MAX];
        format_ipv4(sender, from->sin_addr);
        char *end = format_datagram_sender(parts->sender, sender, ntohs(from->sin_port));
        parts->sender_length = static_cast<size_t>(end - parts->sender);
        parts->sender_addr = from->sin_addr;
        parts->sender_port = from->sin_port;
        parts->have_sender = true;
    }
    out = put_bytes(out, parts->sender, parts->sender_length);
    out = put_bytes(out, parts->group, parts->group_length);
    return format_datagram_tail(out, length_bytes, seq);
}
