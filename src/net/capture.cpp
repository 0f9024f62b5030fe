#include "net/capture.h"

#include <string.h>

int capture_stamp_us(int64_t seconds, int64_t microseconds, uint64_t *utc_us)
{
    // A pcap file's stamp is two unsigned 32-bit fields, which libpcap hands over sign-extended:
    // a frame of 2038 to 2106 comes as "before 1970". Nothing else reaches that range, so it is
    // taken back as the file wrote it.
    if (seconds < 0 && seconds >= INT32_MIN)
        seconds += INT64_C(1) << 32;
    if (microseconds < 0 && microseconds >= INT32_MIN)
        microseconds += INT64_C(1) << 32;
    if (seconds < 0 || microseconds < 0 || seconds > CAPTURE_STAMP_MAX_US / 1000000)
        return -1;
    uint64_t stamp_us = uint64_t(seconds) * 1000000u + uint64_t(microseconds);
    if (stamp_us > CAPTURE_STAMP_MAX_US)
        return -1;
    *utc_us = stamp_us;
    return 0;
}

// Whether stamp_us lies more than far_us outside [low_us, high_us].
static bool far_outside(uint64_t stamp_us, uint64_t low_us, uint64_t high_us, int64_t far_us)
{
    return stamp_us + uint64_t(far_us) < low_us || stamp_us > high_us + uint64_t(far_us);
}

// Whether each of the first count stamps lies far outside the span of the two given.
static bool run_far_outside(const uint64_t *stamps_us, int count, uint64_t one_us,
                            uint64_t other_us, int64_t far_us)
{
    uint64_t low_us = one_us < other_us ? one_us : other_us;
    uint64_t high_us = one_us < other_us ? other_us : one_us;
    for (int i = 0; i < count; i++)
        if (!far_outside(stamps_us[i], low_us, high_us, far_us))
            return false;
    return true;
}

// At the capture's start no frame comes before: a run is judged by the two frames after it.
static int judge_first_stamps(const uint64_t *held_us, int held_count, bool ended)
{
    for (int run = 1; run <= CAPTURE_ODD_STAMPS_MAX; run++) {
        if (run + 1 >= held_count && !ended)
            return -1;
        if (run >= held_count)
            return 0;
        uint64_t other_us = run + 1 < held_count ? held_us[run + 1] : held_us[run];
        if (run_far_outside(held_us, run, held_us[run], other_us, CAPTURE_EDGE_STAMP_FAR_US))
            return run;
    }
    return 0;
}

int judge_held_stamps(const uint64_t *taken_us, int taken_count, const uint64_t *held_us,
                      int held_count, bool ended)
{
    if (held_count == 0)
        return ended ? 0 : -1;
    if (taken_count == 0)
        return judge_first_stamps(held_us, held_count, ended);
    uint64_t before_us = taken_us[taken_count - 1];
    if (!far_outside(held_us[0], before_us, before_us, CAPTURE_STAMP_FAR_US))
        return 0;
    // The first frame after the run that is not far from the one before it ends the run.
    for (int after = 1; after < held_count && after <= CAPTURE_ODD_STAMPS_MAX; after++)
        if (run_far_outside(held_us, after, before_us, held_us[after], CAPTURE_STAMP_FAR_US))
            return after;
    if (held_count <= CAPTURE_ODD_STAMPS_MAX && !ended)
        return -1;
    // At the end, a run is judged by the two frames before it.
    if (held_count <= CAPTURE_ODD_STAMPS_MAX &&
        run_far_outside(held_us, held_count, taken_us[0], before_us, CAPTURE_EDGE_STAMP_FAR_US))
        return held_count;
    return 0;
}

void capture_reset_held(capture_file *file, const volatile sig_atomic_t *stop)
{
    file->stop = stop;
    file->end_status = 1;
    file->taken_count = 0;
    file->held_first = 0;
    file->held_count = 0;
    file->judged = 0;
    file->odd_stamps = 0;
}

bool capture_holds_frames(const capture_file *file)
{
    return file->held_count > 0;
}

// Held frames can be judged without waiting: only a read past them waits.
bool capture_would_wait(const capture_file *file)
{
    return file->held_count == 0 && file->end_status > 0 && capture_input_would_wait(file);
}

static capture_held_frame *held_frame(capture_file *file, int index)
{
    return &file->held[(file->held_first + index) % CAPTURE_HELD_FRAMES];
}

static void note_taken(capture_file *file, uint64_t stamp_us)
{
    if (file->taken_count == 2)
        file->taken_us[0] = file->taken_us[1];
    else
        file->taken_count++;
    file->taken_us[file->taken_count - 1] = stamp_us;
}

static void hold(capture_file *file, const unsigned char *bytes, size_t captured,
                 uint64_t stamp_us)
{
    capture_held_frame *held = held_frame(file, file->held_count++);
    held->stamp_us = stamp_us;
    held->number = file->frames;
    held->captured_bytes = captured < sizeof held->bytes ? captured : sizeof held->bytes;
    memcpy(held->bytes, bytes, held->captured_bytes);
}

// Decides the times of the first held frames: a run stamped far off takes the time of the frame
// before it, or at the start, of the frame after it.
static void decide(capture_file *file, int odd)
{
    if (odd == 0) {
        capture_held_frame *first = held_frame(file, 0);
        first->at_us = first->stamp_us;
        note_taken(file, first->stamp_us);
        file->judged = 1;
        return;
    }
    uint64_t at_us = file->taken_count > 0 ? file->taken_us[file->taken_count - 1]
                                           : held_frame(file, odd)->stamp_us;
    if (file->odd_stamps == 0) {
        file->first_odd_frame = held_frame(file, 0)->number;
        file->first_odd_stamp_us = held_frame(file, 0)->stamp_us;
    }
    for (int i = 0; i < odd; i++)
        held_frame(file, i)->at_us = at_us;
    file->odd_stamps += uint64_t(odd);
    file->judged = odd;
}

// Reads the next frame of the input into the held ones. Returns 1, or what the read says.
static int read_held(capture_file *file)
{
    const unsigned char *bytes = nullptr;
    size_t length = 0;
    uint64_t stamp_us = 0;
    file->end_status = capture_read_frame(file, &bytes, &length, &stamp_us);
    if (file->end_status == 1)
        hold(file, bytes, length, stamp_us);
    return file->end_status;
}

// Judges the held frames, reading more where that needs them, until the time of the first is
// decided or there is none.
static void judge_held(capture_file *file)
{
    while (file->judged == 0 && (file->held_count > 0 || file->end_status > 0)) {
        uint64_t held_us[CAPTURE_HELD_FRAMES];
        for (int i = 0; i < file->held_count; i++)
            held_us[i] = held_frame(file, i)->stamp_us;
        // Where the input would wait or is stopped, what it holds is judged as at the end.
        bool ended = file->end_status <= 0 || (file->stop != nullptr && *file->stop) ||
                     (file->may_wait && capture_input_would_wait(file));
        int odd = judge_held_stamps(file->taken_us, file->taken_count, held_us,
                                    file->held_count, ended && file->held_count > 0);
        if (odd >= 0)
            decide(file, odd);
        else
            read_held(file);
    }
}

int capture_next(capture_file *file, const unsigned char **frame, size_t *captured,
                 uint64_t *utc_us)
{
    // Most frames come close after the one taken before: they are handed over as they are.
    if (file->held_count == 0 && file->taken_count > 0 && file->end_status > 0) {
        int status = capture_read_frame(file, frame, captured, utc_us);
        uint64_t before_us = file->taken_us[file->taken_count - 1];
        if (status <= 0) {
            file->end_status = status;
            return status;
        }
        if (!far_outside(*utc_us, before_us, before_us, CAPTURE_STAMP_FAR_US)) {
            note_taken(file, *utc_us);
            return 1;
        }
        hold(file, *frame, *captured, *utc_us);
    }
    judge_held(file);
    if (file->judged == 0)
        return file->end_status;
    capture_held_frame *first = held_frame(file, 0);
    *frame = first->bytes;
    *captured = first->captured_bytes;
    *utc_us = first->at_us;
    file->held_first = (file->held_first + 1) % CAPTURE_HELD_FRAMES;
    file->held_count--;
    file->judged--;
    return 1;
}
