#include "net/address.h"

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

bool is_unicast_ipv4(in_addr address)
{
    uint32_t host_order = ntohl(address.s_addr);
    bool multicast = (host_order >> 28) == 0xe;
    return !multicast && host_order != INADDR_ANY && host_order != INADDR_BROADCAST;
}

bool is_for_group(const received_datagram *datagram, in_addr group)
{
    return !datagram->have_destination || datagram->destination.s_addr == group.s_addr;
}
