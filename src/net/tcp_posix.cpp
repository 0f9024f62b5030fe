#include "net/tcp.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include "net/address.h"

// How long the kernel holds a connection that has sent nothing before it is accepted.
#define DEFER_ACCEPT_S 1

static int set_nonblocking(int s)
{
    int flags = fcntl(s, F_GETFL);
    return flags < 0 ? -1 : fcntl(s, F_SETFL, flags | O_NONBLOCK);
}

int tcp_listen(const endpoint *address, int backlog, socket_handle *listener)
{
    int s = socket(address->storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    int on = 1;
    int defer_s = DEFER_ACCEPT_S;
    // A connection is handed over with its request (or once it has sent nothing for the
    // deferral), so that the server weighs the request when it decides who is served. The
    // backlog also bounds the connections still in their deferral: past it the kernel answers
    // with SYN cookies, which hand a connection over before its request.
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        setsockopt(s, IPPROTO_TCP, TCP_DEFER_ACCEPT, &defer_s, sizeof defer_s) != 0 ||
        bind(s, reinterpret_cast<const sockaddr *>(&address->storage), endpoint_length(address)) != 0 ||
        listen(s, backlog) != 0 || set_nonblocking(s) != 0) {
        int code = errno;
        close(s);
        errno = code;
        return -1;
    }
    *listener = s;
    return 0;
}

int tcp_accept(socket_handle listener, socket_handle *connection)
{
    int s = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (s >= 0) {
        *connection = s;
        return 1;
    }
    // A connection reset before it was taken is gone; the next may wait behind it.
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED || errno == EINTR)
        return 0;
    return -1;
}

static long answer(ssize_t count)
{
    if (count >= 0)
        return static_cast<long>(count);
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? TCP_WOULD_BLOCK : -1;
}

long tcp_read(socket_handle s, char *data, size_t size)
{
    return answer(recv(s, data, size, 0));
}

long tcp_write(socket_handle s, const char *data, size_t size)
{
    return answer(send(s, data, size, MSG_NOSIGNAL));
}

int tcp_shutdown_write(socket_handle s)
{
    return shutdown(s, SHUT_WR) == 0 ? 0 : -1;
}

int tcp_poll(tcp_poll_entry *entries, int count, int limit_ms)
{
    pollfd polled[TCP_POLL_MAX];
    if (count > TCP_POLL_MAX)
        count = TCP_POLL_MAX;
    for (int i = 0; i < count; i++)
        polled[i] = {entries[i].socket, static_cast<short>(entries[i].want_write ? POLLOUT : POLLIN), 0};
    int ready = poll(polled, static_cast<nfds_t>(count), limit_ms);
    if (ready < 0)
        return errno == EINTR ? 0 : -1;
    for (int i = 0; i < count; i++)
        entries[i].ready = polled[i].revents != 0;
    return ready;
}
