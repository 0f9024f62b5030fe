#include "net/capture.h"

#include <errno.h>
#include <pcap/pcap.h>
#include <stdio.h>
#include <string.h>

#include "base/log.h"

// Reads go through a buffer this large: libpcap reads a frame at a time, and stdio's default
// 4 KiB would make a call of every few dozen frames.
#define CAPTURE_BUFFER_BYTES (1u << 20)

int capture_open(capture_file *file, const char *path)
{
    FILE *stream = strcmp(path, "-") == 0 ? stdin : fopen(path, "rb");
    if (stream == nullptr) {
        log_line(stderr, "error", "%s: %s", path, strerror(errno));
        return -1;
    }
    setvbuf(stream, nullptr, _IOFBF, CAPTURE_BUFFER_BYTES);
    char error[PCAP_ERRBUF_SIZE] = "";
    // libpcap closes the stream with the capture, but not when it refuses it.
    pcap_t *handle = pcap_fopen_offline_with_tstamp_precision(stream, PCAP_TSTAMP_PRECISION_MICRO,
                                                              error);
    if (handle == nullptr) {
        log_line(stderr, "error", "%s: %s", path, error);
        if (stream != stdin)
            fclose(stream);
        return -1;
    }
    file->handle = handle;
    file->path = path;
    file->link = pcap_datalink(handle);
    file->frames = 0;
    return 0;
}

int capture_next(capture_file *file, const unsigned char **frame, size_t *captured,
                 uint64_t *utc_us)
{
    pcap_t *handle = static_cast<pcap_t *>(file->handle);
    pcap_pkthdr *header = nullptr;
    const u_char *data = nullptr;
    int status = pcap_next_ex(handle, &header, &data);
    if (status == PCAP_ERROR_BREAK)
        return 0;
    if (status != 1) {
        log_line(stderr, "error", "%s: reading stopped at frame %llu: %s", file->path,
                 static_cast<unsigned long long>(file->frames + 1), pcap_geterr(handle));
        return -1;
    }
    file->frames++;
    *frame = data;
    *captured = header->caplen;
    *utc_us = static_cast<uint64_t>(header->ts.tv_sec) * 1000000u +
              static_cast<uint64_t>(header->ts.tv_usec);
    return 1;
}

void capture_close(capture_file *file)
{
    if (file->handle != nullptr)
        pcap_close(static_cast<pcap_t *>(file->handle));
    file->handle = nullptr;
}
