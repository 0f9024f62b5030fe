// Arbitrary bytes as a capture file through libpcap, the frame decoder, the reassembly of
// fragments and the reading of its stamps: none may crash, every datagram found must lie
// within its frame or, made whole from fragments, within the table, and a stamp's time, taken
// or not, is written within the room the formatter names.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <pcap/pcap.h>

#include "base/format.h"
#include "net/capture.h"
#include "net/frame.h"
#include "net/reassembly.h"

static reassembly table;

// Whether a datagram's payload lies in [from, from + bytes) and is no longer than it says.
static bool lies_within(const udp_frame *found, const void *from, size_t bytes)
{
    const unsigned char *start = static_cast<const unsigned char *>(from);
    return found->payload >= start && found->payload + found->captured_bytes <= start + bytes &&
           found->captured_bytes <= found->length_bytes;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *file = fmemopen(const_cast<uint8_t *>(data), size, "rb");
    if (file == nullptr)
        return 0;
    char error[PCAP_ERRBUF_SIZE];
    pcap_t *capture = pcap_fopen_offline_with_tstamp_precision(file, PCAP_TSTAMP_PRECISION_MICRO,
                                                               error);
    if (capture == nullptr) {
        fclose(file);
        return 0;
    }
    int link = pcap_datalink(capture);
    pcap_pkthdr *header;
    const u_char *frame;
    reassembly_reset(&table);
    char *time_text = static_cast<char *>(malloc(UTC_TEXT_MAX));
    for (int frames = 0; frames < 10000 && pcap_next_ex(capture, &header, &frame) == 1; frames++) {
        uint64_t utc_us = uint64_t(header->ts.tv_sec) * 1000000u + uint64_t(header->ts.tv_usec);
        if (put_utc(time_text, utc_us) > time_text + UTC_TEXT_MAX)
            abort();
        if (capture_stamp_us(header->ts.tv_sec, header->ts.tv_usec, &utc_us) == 0 &&
            put_utc(time_text, utc_us) != time_text + UTC_TEXT_LENGTH)
            abort();
        udp_frame found, whole, lost;
        decode_frame(link, frame, header->caplen, &found);
        if ((found.kind == FRAME_UDP || found.kind == FRAME_FRAGMENT) &&
            !lies_within(&found, frame, header->caplen))
            abort();
        uint64_t at_us = uint64_t(header->ts.tv_sec) * 1000000u + uint64_t(header->ts.tv_usec);
        if (found.kind == FRAME_FRAGMENT && reassembly_add(&table, &found, at_us, &whole) == 1 &&
            whole.kind == FRAME_UDP && !lies_within(&whole, &table, sizeof table))
            abort();
        while (reassembly_give_up(&table, at_us, &lost) == 1) {
        }
    }
    free(time_text);
    pcap_close(capture);
    return 0;
}
