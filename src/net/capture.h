// A capture file read frame by frame: pcap, nanosecond pcap and pcapng, through libpcap. The
// Windows build has no libpcap, and there opening one says so.
#pragma once

#include <signal.h>
#include <stddef.h>
#include <stdint.h>

// libpcap's reason for stopping, with room for its file's name.
#define CAPTURE_STOP_REASON_MAX 512

struct capture_file {
    void *handle;            // libpcap's; nullptr for a file that is no capture
    const char *path;        // as given ("-": standard input), for error lines
    int link;                // the link type of its frames (net/frame.h)
    uint64_t frames;         // read so far
    bool may_wait;           // a pipe or a terminal, whose writer a read may wait for; not a file
    char stop_reason[CAPTURE_STOP_REASON_MAX];  // why reading stopped at a fault
};

// What to do when a signal ends a wait for a quiet pipe's writer, other than the stop: give
// the summary asked for, whose request ended the wait (net_end_waits_on_request).
struct capture_waiting {
    void (*answer)(void *context);
    void *context;
};

// Opens a capture. A file that opens but is no capture (an empty one, a text) is opened too: its
// first read stops at the fault, so that the run says what it read, as for a file cut short.
// A read that a signal cuts short while *stop is set ends the input there, as its end does (a
// frame cut short by it is not read); another is made again, after waiting (may be null)
// answered it. Returns 0, or -1 after an error line naming the file (one that cannot be
// opened, or libpcap missing).
int capture_open(capture_file *file, const char *path, const volatile sig_atomic_t *stop,
                 const capture_waiting *waiting);

// Whether reading the next frame would wait for the input's writer (a pipe with nothing in it):
// what was read before may be written out first.
bool capture_would_wait(const capture_file *file);

// Reads the next frame: its bytes as captured and when it was captured. Returns 1 with a
// frame, 0 at the end, or -1 where reading stopped at a fault (a file that ends mid-frame, or
// is no capture). Its error line, naming the file and the frame, is left to capture_say_stop:
// it must follow the lines of the frames read before, which the caller has not yet written.
int capture_next(capture_file *file, const unsigned char **frame, size_t *captured,
                 uint64_t *utc_us);

// Writes the error line of the fault where capture_next stopped.
void capture_say_stop(const capture_file *file);

void capture_close(capture_file *file);

// The last stamp a capture may carry, 9999-12-31T23:59:59.999999Z: the times this tool writes
// keep their four-digit year, and no sum of a stamp and a period comes near 64 bits.
#define CAPTURE_STAMP_MAX_US INT64_C(253402300799999999)

// A frame's stamp as libpcap gives it (seconds and microseconds since 1970) to microseconds
// since 1970. Returns 0, or -1 for a stamp before 1970 or past CAPTURE_STAMP_MAX_US.
int capture_stamp_us(int64_t seconds, int64_t microseconds, uint64_t *utc_us);
