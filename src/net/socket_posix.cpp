#include "net/socket.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <poll.h>
#include <unistd.h>

#include "log/log.h"

// There is no library to start or stop here, so an interrupt is made visible to the wait
// through a pipe: the handler writes one byte that is never read, and from then on every wait
// sees the pipe readable and fails. A signal that lands just before select is not lost, since
// the byte is already there when select looks. Written by the handler, read by socket_wait.
static int wake_pipe[2] = {-1, -1};

static int set_flags(int fd)
{
    int status = fcntl(fd, F_GETFL);
    if (status < 0 || fcntl(fd, F_SETFL, status | O_NONBLOCK) < 0)
        return -1;
    return fcntl(fd, F_SETFD, FD_CLOEXEC);
}

int net_startup(void)
{
    if (wake_pipe[0] >= 0)
        return 0;
    if (pipe(wake_pipe) < 0 || set_flags(wake_pipe[0]) < 0 || set_flags(wake_pipe[1]) < 0) {
        report_socket_error("pipe failed");
        return -1;
    }
    return 0;
}

int net_interrupt(void)
{
    int saved = errno;
    // A full pipe already holds a wake-up, so a failed write loses nothing.
    if (wake_pipe[1] >= 0) {
        ssize_t written = write(wake_pipe[1], "x", 1);
        (void)written;
    }
    errno = saved;
    return 0;
}

int socket_last_error(void)
{
    return errno;
}

int socket_error_text(int code, char *text, size_t size)
{
    const char *message = strerror(code);
    if (message == nullptr || size == 0)
        return 0;
    strncpy(text, message, size - 1);
    text[size - 1] = '\0';
    return 1;
}

int socket_set_nonblocking(socket_handle s)
{
    int status = fcntl(s, F_GETFL);
    if (status < 0)
        return -1;
    return fcntl(s, F_SETFL, status | O_NONBLOCK) < 0 ? -1 : 0;
}

int socket_receive(socket_handle s, unsigned char *buffer, size_t size, sockaddr_in *from)
{
    socklen_t from_length = sizeof *from;
    ssize_t length = recvfrom(s, buffer, size, 0, reinterpret_cast<sockaddr *>(from), &from_length);
    if (length >= 0)
        return static_cast<int>(length);
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        return RECEIVE_WOULD_BLOCK;
    return -1;
}

int socket_wait(socket_handle s, int64_t limit_us)
{
    pollfd watched[2] = {{s, POLLIN, 0}, {wake_pipe[0], POLLIN, 0}};
    int limit_ms = -1;
    if (limit_us >= 0) {
        // poll counts whole milliseconds: round up so that a timer is never fired early.
        int64_t rounded_ms = (limit_us + 999) / 1000;
        limit_ms = rounded_ms > INT32_MAX ? INT32_MAX : static_cast<int>(rounded_ms);
    }
    int ready = poll(watched, wake_pipe[0] >= 0 ? 2 : 1, limit_ms);
    if (ready < 0 || (watched[1].revents & POLLIN))
        return -1;
    return (watched[0].revents & (POLLIN | POLLERR)) ? 1 : 0;
}

void socket_close(socket_handle s)
{
    close(s);
}
