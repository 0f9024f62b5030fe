// A capture file read frame by frame: pcap, nanosecond pcap and pcapng, through libpcap. The
// Windows build has no libpcap, and there opening one says so.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct capture_file {
    void *handle;            // libpcap's
    const char *path;        // as given ("-": standard input), for error lines
    int link;                // the link type of its frames (net/frame.h)
    uint64_t frames;         // read so far
};

// Opens a capture. Returns 0, or -1 after an error line naming the file.
int capture_open(capture_file *file, const char *path);

// Reads the next frame: its bytes as captured and when it was captured. Returns 1 with a
// frame, 0 at the end, or -1 after an error line naming the file and the frame where reading
// stopped (a file that ends mid-frame, or is not a capture).
int capture_next(capture_file *file, const unsigned char **frame, size_t *captured,
                 uint64_t *utc_us);

void capture_close(capture_file *file);

// The last stamp a capture may carry, 9999-12-31T23:59:59.999999Z: the times this tool writes
// keep their four-digit year, and no sum of a stamp and a period comes near 64 bits.
#define CAPTURE_STAMP_MAX_US INT64_C(253402300799999999)

// A frame's stamp as libpcap gives it (seconds and microseconds since 1970) to microseconds
// since 1970. Returns 0, or -1 for a stamp before 1970 or past CAPTURE_STAMP_MAX_US.
int capture_stamp_us(int64_t seconds, int64_t microseconds, uint64_t *utc_us);
