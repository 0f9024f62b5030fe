// Arbitrary datagrams through the per-datagram path: the sequence number, the gap check and the
// datagram line. The first byte picks the layout; the rest is the datagram, copied to a buffer
// of exactly its length so that AddressSanitizer sees any read past its end.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "app/datagram_line.h"
#include "net/address.h"
#include "log/log.h"
#include "monitor/monitor.h"

static int64_t last_seq = NO_SEQUENCE;
static stats_record stats;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0 || size - 1 > 65507)
        return 0;
    bool short_seq = (data[0] & 1) != 0;
    size_t length = size - 1;
    unsigned char *datagram = static_cast<unsigned char *>(malloc(length == 0 ? 1 : length));
    memcpy(datagram, data + 1, length);

    int64_t seq = read_sequence(datagram, length, short_seq);
    uint32_t gaps_before = stats.gaps;
    gap_report gap = find_gap(seq, last_seq);
    check_sequence(seq, last_seq, &stats);
    if (static_cast<uint32_t>(stats.gaps - gaps_before) != gap.missed)
        abort();
    if (gap.kind == GAP_MISSED_ONE && gap.missed != 1)
        abort();

    in_addr sender;
    memcpy(&sender.s_addr, data, size < 4 ? size : 4);
    char sender_text[IPV4_TEXT_MAX];
    format_ipv4(sender_text, sender);
    char line[256];
    char *end = format_datagram_message(line, sender_text, static_cast<uint16_t>(size * 7),
                                        "239.1.2.3", 5000, static_cast<int>(length), seq);
    char expected[256];
    int expected_length = snprintf(expected, sizeof expected,
                                   "IP %s.%hu > %s.%hu: UDP, length %d, seq %lld\n", sender_text,
                                   static_cast<unsigned short>(size * 7), "239.1.2.3",
                                   static_cast<unsigned short>(5000), static_cast<int>(length),
                                   static_cast<long long>(seq));
    if (end - line != expected_length || memcmp(line, expected, static_cast<size_t>(expected_length)) != 0)
        abort();
    last_seq = seq;
    free(datagram);
    return 0;
}
