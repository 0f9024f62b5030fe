// Arbitrary bytes as a capture file through libpcap, the frame decoder and the reading of its
// stamps: none may crash, every datagram found must lie within its frame, and a stamp's time,
// taken or not, is written within the room the formatter names.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <pcap/pcap.h>

#include "base/format.h"
#include "net/capture.h"
#include "net/frame.h"

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
    char *time_text = static_cast<char *>(malloc(UTC_TEXT_MAX));
    for (int frames = 0; frames < 10000 && pcap_next_ex(capture, &header, &frame) == 1; frames++) {
        uint64_t utc_us = uint64_t(header->ts.tv_sec) * 1000000u + uint64_t(header->ts.tv_usec);
        if (put_utc(time_text, utc_us) > time_text + UTC_TEXT_MAX)
            abort();
        if (capture_stamp_us(header->ts.tv_sec, header->ts.tv_usec, &utc_us) == 0 &&
            put_utc(time_text, utc_us) != time_text + UTC_TEXT_LENGTH)
            abort();
        udp_frame found;
        decode_frame(link, frame, header->caplen, &found);
        if (found.kind == FRAME_UDP || found.kind == FRAME_FRAGMENT) {
            if (found.payload < frame || found.payload + found.captured_bytes > frame + header->caplen ||
                found.captured_bytes > found.length_bytes)
                abort();
        }
    }
    free(time_text);
    pcap_close(capture);
    return 0;
}
