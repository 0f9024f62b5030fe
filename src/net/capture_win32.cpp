#include "net/capture.h"

#include "base/log.h"

// The mingw-w64 tool chain has no libpcap (Npcap's SDK is not Debian's): captures are read by
// the Linux build.
int capture_open(capture_file *file, const char *path, const volatile sig_atomic_t *,
                 const capture_waiting *)
{
    file->handle = nullptr;
    file->path = path;
    log_line(stderr, "error", "-r: this build cannot read captures (it has no libpcap); read "
                              "\"%s\" with the Linux build", path);
    return -1;
}

bool capture_input_would_wait(const capture_file *)
{
    return false;
}

int capture_read_frame(capture_file *, const unsigned char **, size_t *, uint64_t *)
{
    return 0;
}

void capture_say_stop(const capture_file *)
{
}

void capture_close(capture_file *file)
{
    file->handle = nullptr;
}
