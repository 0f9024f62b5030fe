#include "base/output.h"

#include <errno.h>
#include <string.h>

#include <algorithm>

#include "base/clock.h"
#include "base/process.h"

// Room for a thousand datagram lines: written out in large blocks under load.
static char held[1 << 16];
static size_t held_bytes = 0;
static int write_error = 0;
static bool dropping = false;

void output_drop_while_viewed(bool drop)
{
    dropping = drop;
}

// Waits until standard output takes more, or fails. Before an interrupt the reader is waited for
// as long as it takes; after it, for OUTPUT_STALL_LIMIT_US since the last byte it took.
// Returns 0, or the errno that ends the flush.
static int wait_for_reader(int code, uint64_t *stalled_since_us)
{
    if (code != EINTR && code != EAGAIN && code != EWOULDBLOCK)
        return code;
    if (!standard_output_released())
        return wait_standard_output(-1) < 0 && errno != EINTR ? errno : 0;
    uint64_t now_us = clock_monotonic_us();
    if (*stalled_since_us == 0)
        *stalled_since_us = now_us;
    uint64_t waited_us = now_us - *stalled_since_us;
    if (waited_us >= OUTPUT_STALL_LIMIT_US)
        return ETIMEDOUT;
    wait_standard_output(static_cast<int64_t>(OUTPUT_STALL_LIMIT_US - waited_us));
    return 0;
}

int output_flush(void)
{
    size_t done = 0;
    int code = 0;
    uint64_t stalled_since_us = 0;
    while (done < held_bytes && code == 0) {
        long written = write_standard_output(held + done, held_bytes - done);
        if (written > 0) {
            done += static_cast<size_t>(written);
            stalled_since_us = 0;
            continue;
        }
        code = wait_for_reader(written < 0 ? errno : EAGAIN, &stalled_since_us);
    }
    if (code != 0)
        done = held_bytes;
    memmove(held, held + done, held_bytes - done);
    held_bytes -= done;
    return code;
}

void output_write(const char *data, size_t length)
{
    if (dropping)
        return;
    while (length > 0) {
        if (held_bytes == sizeof held) {
            int code = output_flush();
            if (code != 0 && write_error == 0)
                write_error = code;
        }
        size_t taken = std::min(length, sizeof held - held_bytes);
        memcpy(held + held_bytes, data, taken);
        held_bytes += taken;
        data += taken;
        length -= taken;
    }
}

int output_take_error(void)
{
    int code = write_error;
    write_error = 0;
    return code;
}
