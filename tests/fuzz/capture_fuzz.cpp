// Arbitrary bytes as a capture file through libpcap and the frame decoder: neither may crash,
// and every datagram found must lie within its frame.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <pcap/pcap.h>

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
    for (int frames = 0; frames < 10000 && pcap_next_ex(capture, &header, &frame) == 1; frames++) {
        udp_frame found;
        decode_frame(link, frame, header->caplen, &found);
        if (found.kind == FRAME_UDP || found.kind == FRAME_FRAGMENT) {
            if (found.payload < frame || found.payload + found.captured_bytes > frame + header->caplen ||
                found.captured_bytes > found.length_bytes)
                abort();
        }
    }
    pcap_close(capture);
    return 0;
}
