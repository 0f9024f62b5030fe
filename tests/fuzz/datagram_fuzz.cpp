// Arbitrary datagrams through the per-datagram path: the sequence number, the gap check, the
// sender's address text in either family, and the datagram line. The first byte picks the
// layout and the family; the rest is the datagram, copied to a buffer of exactly its length so
// that AddressSanitizer sees any read past its end.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "monitor/monitor.h"
#include "net/address.h"
#include "output/datagram_line.h"
#include "output/sink.h"

static int64_t last_seq = NO_SEQUENCE;

// The sender, made from the datagram's first bytes.
static endpoint sender_of(const uint8_t *data, size_t size, bool ipv6)
{
    endpoint sender;
    endpoint_any(&sender, ipv6 ? AF_INET6 : AF_INET, static_cast<uint16_t>(size * 7));
    if (ipv6)
        memcpy(&reinterpret_cast<sockaddr_in6 *>(&sender.storage)->sin6_addr, data,
               size < 16 ? size : 16);
    else
        memcpy(&reinterpret_cast<sockaddr_in *>(&sender.storage)->sin_addr, data,
               size < 4 ? size : 4);
    return sender;
}

// The system's text for the host; false where it differs on purpose: glibc still writes the
// deprecated IPv4-compatible form ("::1.2.3.4") that the tool writes in hex.
static bool system_text(const endpoint *address, char *text)
{
    const void *host = address->storage.ss_family == AF_INET6
        ? static_cast<const void *>(&reinterpret_cast<const sockaddr_in6 *>(&address->storage)->sin6_addr)
        : static_cast<const void *>(&reinterpret_cast<const sockaddr_in *>(&address->storage)->sin_addr);
    static const unsigned char zeros[12] = {};
    if (address->storage.ss_family == AF_INET6 && memcmp(host, zeros, sizeof zeros) == 0)
        return false;
    return inet_ntop(address->storage.ss_family, host, text, HOST_TEXT_MAX) != nullptr;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0 || size - 1 > 65507)
        return 0;
    bool short_seq = (data[0] & 1) != 0;
    bool ipv6 = (data[0] & 2) != 0;
    size_t length = size - 1;
    unsigned char *datagram = static_cast<unsigned char *>(malloc(length == 0 ? 1 : length));
    memcpy(datagram, data + 1, length);

    int64_t seq = read_sequence(datagram, length, short_seq);
    gap_report gap = find_gap(seq, last_seq);
    if (gap.kind == GAP_NONE ? gap.missed != 0 : gap.kind == GAP_MISSED_ONE && gap.missed != 1)
        abort();
    static text_sink text;
    text_sink_start(&text, false);
    if (gap.kind != GAP_NONE) {
        gap_event event = {nullptr, gap, false, SEQ_NEXT};
        text.calls.gap(&text.calls, &event);
    }

    endpoint sender = sender_of(data + 1, length, ipv6);
    char sender_text[HOST_TEXT_MAX];
    char *text_end = format_host(sender_text, &sender);
    char expected_text[HOST_TEXT_MAX];
    if (text_end - sender_text >= HOST_TEXT_MAX ||
        (system_text(&sender, expected_text) && strcmp(sender_text, expected_text) != 0))
        abort();
    static endpoint group;
    static datagram_parts parts;
    if (group.storage.ss_family == 0) {
        int code;
        if (find_host("239.1.2.3", AF_INET, &group, &code) < 0)
            abort();
        endpoint_set_port(&group, 5000);
        datagram_parts_start(&parts);
    }
    char line[256];
    char *end = format_datagram_from(line, &parts, &sender, &group, static_cast<int>(length), seq);
    char expected[256];
    int expected_length = snprintf(expected, sizeof expected,
                                   "IP%s %s.%hu > %s.%hu: UDP, length %d, seq %lld\n",
                                   ipv6 ? "6" : "", sender_text,
                                   endpoint_port(&sender), "239.1.2.3",
                                   static_cast<unsigned short>(5000), static_cast<int>(length),
                                   static_cast<long long>(seq));
    if (end - line != expected_length ||
        memcmp(line, expected, static_cast<size_t>(expected_length)) != 0)
        abort();
    last_seq = seq;
    free(datagram);
    return 0;
}
