#include "net/capture.h"

#include <errno.h>
#include <pcap/pcap.h>
#include <stdio.h>
#include <string.h>

#include "base/library.h"
#include "base/log.h"

// libpcap is loaded when a capture is read, not linked: it brings ten more libraries (D-Bus,
// systemd, gcrypt, ...) and 2.4 MB of resident pages to every live run, which has no use for
// them. The calls a capture needs, found by name.
static struct {
    pcap_t *(*fopen_offline)(FILE *stream, u_int precision, char *error);
    int (*datalink)(pcap_t *handle);
    int (*next_ex)(pcap_t *handle, pcap_pkthdr **header, const u_char **data);
    char *(*geterr)(pcap_t *handle);
    void (*close)(pcap_t *handle);
} pcap;

// Loads libpcap once. Returns 0, or -1 after an error line.
static int load_pcap(void)
{
    if (pcap.close != nullptr)
        return 0;
    static const char *const names[] = {"libpcap.so.0.8", "libpcap.so.1", "libpcap.so"};
    void *library = load_library(names, 3, "-r", "libpcap", "libpcap0.8");
    if (library == nullptr)
        return -1;
    bool found = find_call(library, &pcap.fopen_offline,
                           "pcap_fopen_offline_with_tstamp_precision") &&
                 find_call(library, &pcap.datalink, "pcap_datalink") &&
                 find_call(library, &pcap.next_ex, "pcap_next_ex") &&
                 find_call(library, &pcap.geterr, "pcap_geterr") &&
                 find_call(library, &pcap.close, "pcap_close");
    if (!found) {
        log_line(stderr, "error", "-r needs libpcap 1.5 or later: %s", dlerror());
        pcap.close = nullptr;
        return -1;
    }
    return 0;
}

// Reads go through a buffer this large: libpcap reads a frame at a time, and stdio's default
// 4 KiB would make a call of every few dozen frames.
#define CAPTURE_BUFFER_BYTES (1u << 20)

int capture_open(capture_file *file, const char *path)
{
    if (load_pcap() < 0)
        return -1;
    FILE *stream = strcmp(path, "-") == 0 ? stdin : fopen(path, "rb");
    if (stream == nullptr) {
        log_line(stderr, "error", "%s: %s", path, strerror(errno));
        return -1;
    }
    setvbuf(stream, nullptr, _IOFBF, CAPTURE_BUFFER_BYTES);
    char error[PCAP_ERRBUF_SIZE] = "";
    // libpcap closes the stream with the capture, but not when it refuses it.
    pcap_t *handle = pcap.fopen_offline(stream, PCAP_TSTAMP_PRECISION_MICRO, error);
    if (handle == nullptr) {
        log_line(stderr, "error", "%s: %s", path, error);
        if (stream != stdin)
            fclose(stream);
        return -1;
    }
    file->handle = handle;
    file->path = path;
    file->link = pcap.datalink(handle);
    file->frames = 0;
    return 0;
}

int capture_next(capture_file *file, const unsigned char **frame, size_t *captured,
                 uint64_t *utc_us)
{
    pcap_t *handle = static_cast<pcap_t *>(file->handle);
    pcap_pkthdr *header = nullptr;
    const u_char *data = nullptr;
    int status = pcap.next_ex(handle, &header, &data);
    if (status == PCAP_ERROR_BREAK)
        return 0;
    if (status != 1) {
        log_line(stderr, "error", "%s: reading stopped at frame %llu: %s", file->path,
                 static_cast<unsigned long long>(file->frames + 1), pcap.geterr(handle));
        return -1;
    }
    file->frames++;
    if (capture_stamp_us(header->ts.tv_sec, header->ts.tv_usec, utc_us) < 0) {
        log_line(stderr, "error", "%s: reading stopped at frame %llu: its time is not between "
                 "1970 and the end of 9999", file->path, static_cast<unsigned long long>(file->frames));
        return -1;
    }
    *frame = data;
    *captured = header->caplen;
    return 1;
}

void capture_close(capture_file *file)
{
    if (file->handle != nullptr)
        pcap.close(static_cast<pcap_t *>(file->handle));
    file->handle = nullptr;
}
