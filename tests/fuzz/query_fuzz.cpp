// Arbitrary packets through the query parsers: the first byte picks IGMP in an IPv4 packet or
// MLD in an ICMPv6 message; the rest is copied to a buffer of exactly its length, so that
// AddressSanitizer sees any read past its end. What a query is read as must agree with its
// length and its type.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "net/query.h"

// The longest interval the code's eight bits can say.
#define INTERVAL_MAX_S (0x1fu << 10)

static void check_igmp(const unsigned char *packet, size_t length, const query_reading *q)
{
    size_t igmp_bytes = length - static_cast<size_t>(packet[0] & 0x0f) * 4;
    bool v3 = q->version == QUERY_IGMP_V3;
    if (q->version > QUERY_IGMP_V3 || (v3 ? igmp_bytes < 12 : igmp_bytes < 8) ||
        (!v3 && q->interval_s != 0) || memcmp(q->querier, packet + 12, 4) != 0)
        abort();
}

static void check_mld(const unsigned char *message, size_t length, const query_reading *q)
{
    bool v2 = q->version == QUERY_MLD_V2;
    if (message[0] != 130 || q->version < QUERY_MLD_V1 || (v2 ? length < 28 : length != 24) ||
        (!v2 && q->interval_s != 0))
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    bool mld = (data[0] & 1) != 0;
    size_t length = size - 1;
    unsigned char *packet = static_cast<unsigned char *>(malloc(length == 0 ? 1 : length));
    memcpy(packet, data + 1, length);
    static const unsigned char source[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    query_reading q;
    int found = mld ? read_mld_query(packet, length, source, &q) : read_igmp_query(packet, length, &q);
    if (found == 1) {
        if (q.interval_s > INTERVAL_MAX_S || query_version_name(q.version) == nullptr)
            abort();
        if (mld)
            check_mld(packet, length, &q);
        else
            check_igmp(packet, length, &q);
    } else if (found != 0) {
        abort();
    }
    free(packet);
    return 0;
}
