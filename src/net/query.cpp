#include "net/query.h"

#include <string.h>

#include "net/address.h"

#define IGMP_PROTOCOL 2
#define IGMP_QUERY 0x11
#define MLD_QUERY 130
// The shortest query of the newer versions; the older ones are exactly their base length.
#define IGMP_V2_BYTES 8
#define IGMP_V3_BYTES 12
#define MLD_V1_BYTES 24
#define MLD_V2_BYTES 28

static uint16_t read_u16(const unsigned char *at)
{
    return static_cast<uint16_t>(at[0] << 8 | at[1]);
}

// The querier's interval code: below 128 the seconds themselves, above a mantissa and an
// exponent (IGMPv3 and MLDv2 share the form).
static uint32_t interval_of(unsigned char code)
{
    if (code < 128)
        return code;
    return static_cast<uint32_t>((code & 0x0f) | 0x10) << (((code >> 4) & 0x07) + 3);
}

// The Internet checksum over the message, its own field included: 0 when it holds.
static uint16_t checksum_of(const unsigned char *data, size_t length_bytes)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < length_bytes; i += 2)
        sum += read_u16(data + i);
    if (length_bytes % 2 != 0)
        sum += static_cast<uint32_t>(data[length_bytes - 1]) << 8;
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

static bool all_zero(const unsigned char *bytes, size_t count)
{
    for (size_t i = 0; i < count; i++)
        if (bytes[i] != 0)
            return false;
    return true;
}

// The version a query's length and response code say, or -1 for a length none has; with the
// sources a newer query lists, which it must hold whole.
static int igmp_version(const unsigned char *igmp, size_t length_bytes)
{
    if (length_bytes == IGMP_V2_BYTES)
        return igmp[1] == 0 ? QUERY_IGMP_V1 : QUERY_IGMP_V2;
    if (length_bytes < IGMP_V3_BYTES)
        return -1;
    size_t sources = read_u16(igmp + 10);
    return length_bytes >= IGMP_V3_BYTES + 4 * sources ? QUERY_IGMP_V3 : -1;
}

int read_igmp_query(const unsigned char *packet, size_t length_bytes, query_reading *out)
{
    if (length_bytes < 20 || packet[0] >> 4 != 4 || packet[9] != IGMP_PROTOCOL)
        return 0;
    size_t header_bytes = static_cast<size_t>(packet[0] & 0x0f) * 4;
    size_t total_bytes = read_u16(packet + 2);
    // A raw socket gives the length as the packet says it; a shorter buffer was cut short.
    if (header_bytes < 20 || total_bytes > length_bytes || total_bytes < header_bytes)
        return 0;
    const unsigned char *igmp = packet + header_bytes;
    size_t igmp_bytes = total_bytes - header_bytes;
    if (igmp_bytes < IGMP_V2_BYTES || igmp[0] != IGMP_QUERY || checksum_of(igmp, igmp_bytes) != 0)
        return 0;
    int version = igmp_version(igmp, igmp_bytes);
    if (version < 0)
        return 0;
    *out = query_reading{};
    out->version = static_cast<query_version>(version);
    memcpy(out->querier, packet + 12, 4);
    memcpy(out->group, igmp + 4, 4);
    out->general = all_zero(out->group, 4);
    out->interval_s = version == QUERY_IGMP_V3 ? interval_of(igmp[9]) : 0;
    return 1;
}

int read_mld_query(const unsigned char *message, size_t length_bytes,
                   const unsigned char source[16], query_reading *out)
{
    if (length_bytes < MLD_V1_BYTES || message[0] != MLD_QUERY)
        return 0;
    query_version version = QUERY_MLD_V1;
    if (length_bytes != MLD_V1_BYTES) {
        if (length_bytes < MLD_V2_BYTES ||
            length_bytes < MLD_V2_BYTES + 16 * static_cast<size_t>(read_u16(message + 26)))
            return 0;
        version = QUERY_MLD_V2;
    }
    *out = query_reading{};
    out->version = version;
    memcpy(out->querier, source, 16);
    memcpy(out->group, message + 8, 16);
    out->general = all_zero(out->group, 16);
    out->interval_s = version == QUERY_MLD_V2 ? interval_of(message[25]) : 0;
    return 1;
}

char *format_query_host(char *out, const query_reading *query, const unsigned char *address)
{
    endpoint host;
    if (query->version >= QUERY_MLD_V1) {
        endpoint_any(&host, AF_INET6, 0);
        memcpy(&reinterpret_cast<sockaddr_in6 *>(&host.storage)->sin6_addr, address, 16);
    } else {
        endpoint_any(&host, AF_INET, 0);
        memcpy(&reinterpret_cast<sockaddr_in *>(&host.storage)->sin_addr, address, 4);
    }
    return format_host(out, &host);
}

const char *query_version_name(query_version version)
{
    static const char *const names[] = {"IGMPv1", "IGMPv2", "IGMPv3", "MLDv1", "MLDv2"};
    return names[version];
}
