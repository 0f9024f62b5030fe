// A capture file read frame by frame: pcap, nanosecond pcap and pcapng, through libpcap. The
// Windows build has no libpcap, and there opening one says so.
#pragma once

#include <signal.h>
#include <stddef.h>
#include <stdint.h>

// libpcap's reason for stopping, with room for its file's name.
#define CAPTURE_STOP_REASON_MAX 512

// A frame whose stamp lies far outside those of the frames around it (a clock that was not set,
// a bit flipped in the stamp) is taken at a neighbour's time. Far is more than
// CAPTURE_STAMP_FAR_US outside the span of the frames before and after it, or for a frame with a
// neighbour on one side only (the capture's first or last), more than CAPTURE_EDGE_STAMP_FAR_US
// outside the span of the two there: a capture's quiet hours are no fault. Up to
// CAPTURE_ODD_STAMPS_MAX frames in a row are so taken; where more follow, the time stepped.
#define CAPTURE_STAMP_FAR_US INT64_C(10000000)
#define CAPTURE_EDGE_STAMP_FAR_US INT64_C(86400000000)
#define CAPTURE_ODD_STAMPS_MAX 4
#define CAPTURE_HELD_FRAMES 6
// The most libpcap hands over of a frame.
#define CAPTURE_FRAME_MAX_BYTES 262144

// A frame read ahead of those handed over, while its stamp or another's is judged.
struct capture_held_frame {
    uint64_t stamp_us;       // as captured
    uint64_t at_us;          // the time it is handed over with, once judged
    uint64_t number;         // its place in the file, from 1
    size_t captured_bytes;
    unsigned char bytes[CAPTURE_FRAME_MAX_BYTES];
};

struct capture_file {
    void *handle;            // libpcap's; nullptr for a file that is no capture
    const char *path;        // as given ("-": standard input), for error lines
    int link;                // the link type of its frames (net/frame.h)
    uint64_t frames;         // read so far
    bool may_wait;           // a pipe or a terminal, whose writer a read may wait for; not a file
    char stop_reason[CAPTURE_STOP_REASON_MAX];  // why reading stopped at a fault
    const volatile sig_atomic_t *stop;
    int end_status;          // 1 while reading goes on; then what the read after the held says
    uint64_t taken_us[2];    // the stamps of the last two frames taken at their own, oldest first
    int taken_count;
    capture_held_frame held[CAPTURE_HELD_FRAMES];  // a ring
    int held_first;
    int held_count;
    int judged;              // of the held, from the first: those whose time is decided
    uint64_t odd_stamps;     // frames taken at a neighbour's time
    uint64_t first_odd_frame;
    uint64_t first_odd_stamp_us;
};
static_assert(CAPTURE_HELD_FRAMES >= CAPTURE_ODD_STAMPS_MAX + 2,
              "a run is judged at the capture's start by the two frames beyond it");

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

// Reads the next frame: its bytes as captured (until the next call) and its time, a
// neighbour's for a frame stamped far off. Returns 1 with a frame, 0 at the end, or -1 where
// reading stopped at a fault (a file that ends mid-frame, or is no capture), after the frames
// read before it. Its error line, naming the file and the frame, is left to capture_say_stop:
// it must follow the lines of the frames read before, which the caller has not yet written.
// Frames held to judge a stamp are judged as at the end where the input would wait, or once
// *stop is set.
int capture_next(capture_file *file, const unsigned char **frame, size_t *captured,
                 uint64_t *utc_us);

// Whether frames read from the input are held, not yet handed over.
bool capture_holds_frames(const capture_file *file);

// Of the frames held after the last ones taken at their own stamps (taken_us, oldest first, 0
// to 2 of them), how many from the first are stamped far off: 0 where the first is taken at
// its own stamp, or -1 where more frames must be read to say (never once ended).
int judge_held_stamps(const uint64_t *taken_us, int taken_count, const uint64_t *held_us,
                      int held_count, bool ended);

// The platform's reading, under capture_next and capture_would_wait: the next frame of the
// input as capture_next says, and whether reading it would wait.
int capture_read_frame(capture_file *file, const unsigned char **frame, size_t *captured,
                       uint64_t *utc_us);
bool capture_input_would_wait(const capture_file *file);
// Starts the judging of a file just opened: nothing held, nothing taken.
void capture_reset_held(capture_file *file, const volatile sig_atomic_t *stop);

// Writes the error line of the fault where capture_next stopped.
void capture_say_stop(const capture_file *file);

void capture_close(capture_file *file);

// The last stamp a capture may carry, 9999-12-31T23:59:59.999999Z: the times this tool writes
// keep their four-digit year, and no sum of a stamp and a period comes near 64 bits.
#define CAPTURE_STAMP_MAX_US INT64_C(253402300799999999)

// A frame's stamp as libpcap gives it (seconds and microseconds since 1970) to microseconds
// since 1970. Returns 0, or -1 for a stamp before 1970 or past CAPTURE_STAMP_MAX_US.
int capture_stamp_us(int64_t seconds, int64_t microseconds, uint64_t *utc_us);
