#include "net/address.h"

#include <stdlib.h>
#include <string.h>

#include "base/format.h"
#include "net/interface.h"

static char *format_ipv4_bytes(char *out, const unsigned char *bytes)
{
    for (int i = 0; i < 4; i++) {
        if (i > 0)
            *out++ = '.';
        out = put_unsigned(out, bytes[i]);
    }
    return out;
}

static char *put_hex_group(char *out, unsigned group)
{
    static const char digits[] = "0123456789abcdef";
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
        unsigned digit = (group >> shift) & 0xf;
        if (digit != 0 || started || shift == 0) {
            *out++ = digits[digit];
            started = true;
        }
    }
    return out;
}

// The shortest text: the longest run of two or more zero groups (the first of equal runs)
// becomes "::".
static char *format_ipv6_bytes(char *out, const unsigned char *bytes)
{
    static const unsigned char mapped_prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (memcmp(bytes, mapped_prefix, sizeof mapped_prefix) == 0)
        return format_ipv4_bytes(put_literal(out, "::ffff:"), bytes + 12);
    unsigned groups[8];
    for (int i = 0; i < 8; i++)
        groups[i] = static_cast<unsigned>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
    int best_start = -1, best_length = 1;
    for (int i = 0; i < 8;) {
        int length = 0;
        while (i + length < 8 && groups[i + length] == 0)
            length++;
        if (length > best_length) {
            best_start = i;
            best_length = length;
        }
        i += length > 0 ? length : 1;
    }
    for (int i = 0; i < 8; i++) {
        if (i == best_start) {
            out = put_literal(out, "::");
            i += best_length - 1;
            continue;
        }
        if (i > 0 && i != best_start + best_length)
            *out++ = ':';
        out = put_hex_group(out, groups[i]);
    }
    return out;
}

char *format_host(char *out, const endpoint *address)
{
    if (address->storage.ss_family == AF_INET6) {
        const sockaddr_in6 *v6 = reinterpret_cast<const sockaddr_in6 *>(&address->storage);
        out = format_ipv6_bytes(out, v6->sin6_addr.s6_addr);
    } else {
        const sockaddr_in *v4 = reinterpret_cast<const sockaddr_in *>(&address->storage);
        unsigned char bytes[4];
        memcpy(bytes, &v4->sin_addr, sizeof bytes);
        out = format_ipv4_bytes(out, bytes);
    }
    *out = '\0';
    return out;
}

char *format_endpoint(char *out, const endpoint *address)
{
    bool ipv6 = address->storage.ss_family == AF_INET6;
    char *end = out;
    if (ipv6)
        *end++ = '[';
    end = format_host(end, address);
    if (ipv6)
        *end++ = ']';
    *end++ = ':';
    end = put_unsigned(end, endpoint_port(address));
    *end = '\0';
    return end;
}

uint16_t endpoint_port(const endpoint *address)
{
    if (address->storage.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 *>(&address->storage)->sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in *>(&address->storage)->sin_port);
}

void endpoint_set_port(endpoint *address, uint16_t port)
{
    if (address->storage.ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6 *>(&address->storage)->sin6_port = htons(port);
    else
        reinterpret_cast<sockaddr_in *>(&address->storage)->sin_port = htons(port);
}

void endpoint_any(endpoint *address, int family, uint16_t port)
{
    memset(address, 0, sizeof *address);
    address->storage.ss_family = static_cast<decltype(address->storage.ss_family)>(family);
    endpoint_set_port(address, port);
}

// The host's bytes and their count, whatever the family.
static const unsigned char *host_bytes(const endpoint *address, size_t *size)
{
    if (address->storage.ss_family == AF_INET6) {
        *size = 16;
        return reinterpret_cast<const sockaddr_in6 *>(&address->storage)->sin6_addr.s6_addr;
    }
    *size = 4;
    return reinterpret_cast<const unsigned char *>(
        &reinterpret_cast<const sockaddr_in *>(&address->storage)->sin_addr);
}

bool same_host(const endpoint *a, const endpoint *b)
{
    if (a->storage.ss_family != b->storage.ss_family)
        return false;
    size_t size;
    const unsigned char *a_bytes = host_bytes(a, &size);
    return memcmp(a_bytes, host_bytes(b, &size), size) == 0;
}

bool is_multicast(const endpoint *address)
{
    size_t size;
    const unsigned char *bytes = host_bytes(address, &size);
    return size == 16 ? bytes[0] == 0xff : (bytes[0] >> 4) == 0xe;
}

bool is_link_local_group(const endpoint *address)
{
    size_t size;
    const unsigned char *bytes = host_bytes(address, &size);
    return size == 16 && bytes[0] == 0xff && (bytes[1] & 0x0f) == 0x2;
}

uint32_t endpoint_zone(const endpoint *address)
{
    if (address->storage.ss_family != AF_INET6)
        return 0;
    return reinterpret_cast<const sockaddr_in6 *>(&address->storage)->sin6_scope_id;
}

int endpoint_length(const endpoint *address)
{
    return address->storage.ss_family == AF_INET6 ? static_cast<int>(sizeof(sockaddr_in6))
                                                  : static_cast<int>(sizeof(sockaddr_in));
}

// Walks the resolver's answers of the family (AF_UNSPEC: both), and copies the chosen one:
// the first, or for a group the first multicast one, else the first IPv4 one, else the first.
static int find_address(const char *host, int family, bool group, endpoint *found,
                        int *resolver_code)
{
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = family;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *answers = nullptr;
    *resolver_code = getaddrinfo(host, nullptr, &hints, &answers);
    if (*resolver_code != 0)
        return -1;
    const addrinfo *first = nullptr, *first_ipv4 = nullptr, *first_multicast = nullptr;
    for (const addrinfo *entry = answers; entry != nullptr; entry = entry->ai_next) {
        bool wanted = family == AF_UNSPEC ? entry->ai_family == AF_INET ||
                                                entry->ai_family == AF_INET6
                                          : entry->ai_family == family;
        if (!wanted || entry->ai_addrlen > sizeof found->storage)
            continue;
        endpoint candidate = {};
        memcpy(&candidate.storage, entry->ai_addr, entry->ai_addrlen);
        if (first == nullptr)
            first = entry;
        if (first_ipv4 == nullptr && entry->ai_family == AF_INET)
            first_ipv4 = entry;
        if (first_multicast == nullptr && is_multicast(&candidate))
            first_multicast = entry;
    }
    const addrinfo *chosen = !group ? first
                             : first_multicast ? first_multicast
                             : first_ipv4      ? first_ipv4
                                               : first;
    if (chosen != nullptr) {
        memset(found, 0, sizeof *found);
        memcpy(&found->storage, chosen->ai_addr, chosen->ai_addrlen);
    }
    freeaddrinfo(answers);
    return chosen != nullptr ? 0 : -1;
}

int find_host(const char *host, int family, endpoint *found, int *resolver_code)
{
    return find_address(host, family, false, found, resolver_code);
}

// The interface a zone names: a name, or an index that exists; 0 for none.
static uint32_t zone_interface(const char *zone)
{
    size_t digits = strspn(zone, "0123456789");
    if (digits == 0 || zone[digits] != '\0')
        return find_interface(zone);
    if (digits > 9)
        return 0;
    uint32_t index = static_cast<uint32_t>(strtoul(zone, nullptr, 10));
    return interface_index_exists(index) ? index : 0;
}

int find_zoned_group(const char *host, endpoint *found)
{
    const char *percent = strchr(host, '%');
    char bare[64];
    if (percent == nullptr || strchr(host, ':') == nullptr ||
        static_cast<size_t>(percent - host) >= sizeof bare)
        return 0;
    memcpy(bare, host, static_cast<size_t>(percent - host));
    bare[percent - host] = '\0';
    int code = 0;
    endpoint address;
    if (find_host(bare, AF_INET6, &address, &code) < 0)
        return 0;
    uint32_t index = zone_interface(percent + 1);
    if (index == 0)
        return -1;
    reinterpret_cast<sockaddr_in6 *>(&address.storage)->sin6_scope_id = index;
    *found = address;
    return 1;
}

int find_group(const char *host, endpoint *found, int *resolver_code)
{
    int zoned = find_zoned_group(host, found);
    *resolver_code = 0;
    if (zoned != 0)
        return zoned > 0 ? 0 : -1;
    return find_address(host, AF_UNSPEC, true, found, resolver_code);
}

bool is_unicast(const endpoint *address)
{
    size_t size;
    const unsigned char *bytes = host_bytes(address, &size);
    static const unsigned char zeros[16] = {};
    if (memcmp(bytes, zeros, size) == 0)
        return false;
    if (size == 16)
        return bytes[0] != 0xff;
    static const unsigned char broadcast[4] = {0xff, 0xff, 0xff, 0xff};
    return (bytes[0] >> 4) != 0xe && memcmp(bytes, broadcast, 4) != 0;
}

bool is_for_group(const received_datagram *datagram, const endpoint *group)
{
    return !datagram->have_destination || same_host(&datagram->destination, group);
}
