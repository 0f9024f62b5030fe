#include "net/capture.h"

#include <errno.h>
#include <fcntl.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <stdio.h>
#include <sys/stat.h>
#include <string.h>
#include <unistd.h>

#include "base/library.h"
#include "base/log.h"
#include "net/socket.h"

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

// Reads go through a buffer this large: libpcap reads a frame at a time, in two reads.
#define CAPTURE_BUFFER_BYTES (1u << 18)
// The most a frame of one IP packet takes in a file, with its record's or block's header, its
// link header and its options: the next frame is whole where the stream's buffer and ours
// hold this much.
#define WHOLE_FRAME_BYTES (65535 + 1024)
#define STREAM_BUFFER_BYTES 4096
static_assert(CAPTURE_BUFFER_BYTES >= 2 * WHOLE_FRAME_BYTES, "a frame fits beside what is left");

// The input under libpcap's stream, read through a buffer of its own, so that what the buffer
// holds tells whether the next frame would wait for the writer of a pipe. One capture is read
// per process.
static struct {
    int fd;
    bool regular;            // a file: read through stdio's buffer, as it never waits
    const volatile sig_atomic_t *stop;
    bool stopped;            // a read was cut short to stop: the input ends there
    capture_waiting waiting;
    size_t at;
    size_t end;
    unsigned char buffer[CAPTURE_BUFFER_BYTES];
} input;

static ssize_t read_input(void *, char *data, size_t size)
{
    if (input.at == input.end) {
        ssize_t count;
        do {
            // The writer may be quiet for long: a summary asked for meanwhile is given now, not
            // at its next frame.
            while (input.waiting.answer != nullptr && !*input.stop &&
                   descriptor_wait_readable(input.fd) == WAIT_ENDED_EARLY)
                if (!*input.stop)
                    input.waiting.answer(input.waiting.context);
            input.stopped = *input.stop;
            if (input.stopped)
                break;
            count = read(input.fd, input.buffer, sizeof input.buffer);
            input.stopped = count < 0 && errno == EINTR && *input.stop;
        } while (count < 0 && errno == EINTR && !input.stopped);
        if (input.stopped)
            return 0;
        if (count <= 0)
            return count;
        input.at = 0;
        input.end = static_cast<size_t>(count);
    }
    size_t taken = size < input.end - input.at ? size : input.end - input.at;
    memcpy(data, input.buffer + input.at, taken);
    input.at += taken;
    return static_cast<ssize_t>(taken);
}

// Standard input is left open, so that no later descriptor takes its place.
static int close_input(void *)
{
    if (input.fd != STDIN_FILENO)
        close(input.fd);
    return 0;
}

// The input as a stream for libpcap. Returns it, or nullptr after an error line.
static FILE *open_input(const char *path, const volatile sig_atomic_t *stop,
                        const capture_waiting *waiting)
{
    input.stop = stop;
    input.waiting = waiting != nullptr ? *waiting : capture_waiting{};
    input.stopped = false;
    input.fd = strcmp(path, "-") == 0 ? STDIN_FILENO : open(path, O_RDONLY | O_CLOEXEC);
    if (input.fd < 0) {
        log_line(stderr, "error", "%s: %s", path, strerror(errno));
        return nullptr;
    }
    input.at = 0;
    input.end = 0;
    // A file never waits for a writer, and a read of it is not cut short: stdio reads it, a
    // large block at a time, without the cost of a stream of our own.
    struct stat status;
    input.regular = fstat(input.fd, &status) == 0 && S_ISREG(status.st_mode);
    if (input.regular) {
        int fd = input.fd == STDIN_FILENO ? fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3) : input.fd;
        FILE *file = fd >= 0 ? fdopen(fd, "rb") : nullptr;
        if (file == nullptr) {
            log_line(stderr, "error", "%s: %s", path, strerror(errno));
            if (fd >= 0 && fd != input.fd)
                close(fd);
            close_input(nullptr);
            return nullptr;
        }
        setvbuf(file, reinterpret_cast<char *>(input.buffer), _IOFBF, sizeof input.buffer);
        return file;
    }
    cookie_io_functions_t calls = {read_input, nullptr, nullptr, close_input};
    FILE *stream = fopencookie(nullptr, "rb", calls);
    if (stream == nullptr) {
        log_line(stderr, "error", "%s: %s", path, strerror(errno));
        close_input(nullptr);
        return nullptr;
    }
    // A small buffer of the stream's own (unbuffered, glibc reads a cookie's stream a byte at a
    // time): what it may hold beside ours is less than a frame.
    setvbuf(stream, nullptr, _IOFBF, STREAM_BUFFER_BYTES);
    return stream;
}

int capture_open(capture_file *file, const char *path, const volatile sig_atomic_t *stop,
                 const capture_waiting *waiting)
{
    if (load_pcap() < 0)
        return -1;
    FILE *stream = open_input(path, stop, waiting);
    if (stream == nullptr)
        return -1;
    char error[PCAP_ERRBUF_SIZE] = "";
    // libpcap closes the stream with the capture, but not when it refuses it.
    pcap_t *handle = pcap.fopen_offline(stream, PCAP_TSTAMP_PRECISION_MICRO, error);
    file->handle = handle;
    file->path = path;
    file->link = handle != nullptr ? pcap.datalink(handle) : -1;
    file->frames = 0;
    file->may_wait = !input.regular;
    file->stop_reason[0] = 0;
    capture_reset_held(file, stop);
    if (handle == nullptr) {
        snprintf(file->stop_reason, sizeof file->stop_reason, "%s", error);
        fclose(stream);
    }
    return 0;
}


bool capture_input_would_wait(const capture_file *)
{
    if (input.regular)
        return false;
    // What the writer has sent is taken, a frame's worth at least where it has sent that much.
    while (input.end - input.at < WHOLE_FRAME_BYTES) {
        pollfd polled = {input.fd, POLLIN, 0};
        if (poll(&polled, 1, 0) != 1)
            return true;
        memmove(input.buffer, input.buffer + input.at, input.end - input.at);
        input.end -= input.at;
        input.at = 0;
        ssize_t count = read(input.fd, input.buffer + input.end, sizeof input.buffer - input.end);
        // The end of the input, or a fault, is for the next read to say.
        if (count <= 0)
            return false;
        input.end += static_cast<size_t>(count);
    }
    return false;
}

int capture_read_frame(capture_file *file, const unsigned char **frame, size_t *captured,
                       uint64_t *utc_us)
{
    pcap_t *handle = static_cast<pcap_t *>(file->handle);
    if (handle == nullptr)
        return -1;
    pcap_pkthdr *header = nullptr;
    const u_char *data = nullptr;
    int status = pcap.next_ex(handle, &header, &data);
    if (status == PCAP_ERROR_BREAK || (status != 1 && input.stopped))
        return 0;
    if (status != 1) {
        snprintf(file->stop_reason, sizeof file->stop_reason, "%s", pcap.geterr(handle));
        return -1;
    }
    // A frame stamped out of range stops the reading there, said once where every stop is.
    if (capture_stamp_us(header->ts.tv_sec, header->ts.tv_usec, utc_us) < 0) {
        snprintf(file->stop_reason, sizeof file->stop_reason,
                 "its time is not between 1970 and the end of 9999");
        return -1;
    }
    file->frames++;
    *frame = data;
    *captured = header->caplen;
    return 1;
}

// editcap's name for a link type this tool reads, or nullptr.
static const char *editcap_name(int link)
{
    static const struct {
        int link;
        const char *name;
    } names[] = {{0, "null"},        {1, "ether"},        {101, "rawip"},     {12, "rawip"},
                 {14, "rawip"},      {108, "loop"},       {113, "linux-sll"}, {228, "rawip4"},
                 {229, "rawip6"},    {276, "linux-sll2"}};
    for (const auto &entry : names)
        if (entry.link == link)
            return entry.name;
    return nullptr;
}

void capture_say_stop(const capture_file *file)
{
    unsigned long long frame = static_cast<unsigned long long>(file->frames + 1);
    // libpcap reads one link type a file; a pcapng of several interfaces (dumpcap -i lo -i any)
    // may have more, and libpcap names the other type. Each interface's frames make a file of
    // their own that it reads.
    const char *other_at = strstr(file->stop_reason, "an interface has a type ");
    int other = -1;
    if (other_at == nullptr || sscanf(other_at, "an interface has a type %d", &other) != 1 ||
        editcap_name(file->link) == nullptr || editcap_name(other) == nullptr) {
        log_line(stderr, "error", "%s: reading stopped at frame %llu: %s", file->path, frame,
                 file->stop_reason);
        return;
    }
    log_line(stderr, "error",
             "%s: reading stopped at frame %llu: %s; libpcap reads one link type a file: write "
             "each interface's frames to a file of their own, as tshark -r '%s' -Y "
             "'frame.interface_id == 0' -w - | editcap -F pcap -T %s - interface0.pcap, and the "
             "same with the number of the interface of type %d and -T %s",
             file->path, frame, file->stop_reason, file->path, editcap_name(file->link), other,
             editcap_name(other));
}

void capture_close(capture_file *file)
{
    if (file->handle != nullptr)
        pcap.close(static_cast<pcap_t *>(file->handle));
    file->handle = nullptr;
}
