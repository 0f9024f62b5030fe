#include "app/datagram_line.h"

#include <string.h>

#include "log/format.h"

char *format_ipv4(char *out, in_addr address)
{
    unsigned char bytes[4];
    memcpy(bytes, &address.s_addr, sizeof bytes);
    for (int i = 0; i < 4; i++) {
        if (i > 0)
            *out++ = '.';
        out = put_unsigned(out, bytes[i]);
    }
    *out = '\0';
    return out;
}

char *format_datagram_message(char *out, const char *sender, uint16_t sender_port,
                              const char *group, uint16_t group_port, int length_bytes,
                              int64_t seq)
{
    out = put_text(out, "IP ");
    out = put_text(out, sender);
    *out++ = '.';
    out = put_unsigned(out, sender_port);
    out = put_text(out, " > ");
    out = put_text(out, group);
    *out++ = '.';
    out = put_unsigned(out, group_port);
    out = put_text(out, ": UDP, length ");
    out = put_signed(out, length_bytes);
    out = put_text(out, ", seq ");
    out = put_signed(out, seq);
    *out++ = '\n';
    return out;
}
