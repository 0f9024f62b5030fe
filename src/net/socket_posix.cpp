#include "net/socket.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

// There is no library to shut down here, so an interrupt ends the wait by shutting the
// receiving socket down for reading: Linux then wakes every wait on it, the one in progress
// and any later one, even on an unconnected UDP socket (where shutdown reports ENOTCONN all
// the same). A signal that lands just before the wait is not lost, since the shutdown is
// already in force when the wait starts; and the wait needs no second descriptor to watch.
// Written by the run before its loop, read by the interrupt handler.
static volatile socket_handle interrupt_socket = INVALID_SOCKET_HANDLE;

int net_startup(void)
{
    return 0;
}

int net_wake_on_interrupt(socket_handle s)
{
    interrupt_socket = s;
    return 0;
}

void net_interrupt(void)
{
    int saved = errno;
    if (interrupt_socket != INVALID_SOCKET_HANDLE)
        shutdown(interrupt_socket, SHUT_RD);
    errno = saved;
}

void net_cleanup(void)
{
    interrupt_socket = INVALID_SOCKET_HANDLE;
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

// Every receive here says itself whether it may block, so blocking stays on.
int socket_prepare_receiver(socket_handle s)
{
    int off = 0;
    int on = 1;
    if (setsockopt(s, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off) != 0)
        return -1;
    return setsockopt(s, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
}

// Room for the control messages that may come with one datagram.
#define CONTROL_BYTES_MAX 64

static void read_control(msghdr *header, received_datagram *datagram)
{
    datagram->have_destination = false;
    for (cmsghdr *c = CMSG_FIRSTHDR(header); c != nullptr; c = CMSG_NXTHDR(header, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            memcpy(&info, CMSG_DATA(c), sizeof info);
            datagram->destination = info.ipi_addr;
            datagram->have_destination = true;
        }
    }
}

int socket_receive_many(socket_handle s, received_datagram *datagrams, int count, bool wait)
{
    mmsghdr headers[RECEIVE_BATCH_MAX];
    iovec vectors[RECEIVE_BATCH_MAX];
    alignas(cmsghdr) unsigned char control[RECEIVE_BATCH_MAX][CONTROL_BYTES_MAX];
    if (count > RECEIVE_BATCH_MAX)
        count = RECEIVE_BATCH_MAX;
    memset(headers, 0, sizeof headers[0] * static_cast<size_t>(count));
    for (int i = 0; i < count; i++) {
        vectors[i].iov_base = datagrams[i].buffer;
        vectors[i].iov_len = datagrams[i].size;
        headers[i].msg_hdr.msg_name = &datagrams[i].from;
        headers[i].msg_hdr.msg_namelen = sizeof datagrams[i].from;
        headers[i].msg_hdr.msg_iov = &vectors[i];
        headers[i].msg_hdr.msg_iovlen = 1;
        headers[i].msg_hdr.msg_control = control[i];
        headers[i].msg_hdr.msg_controllen = sizeof control[i];
    }
    // MSG_WAITFORONE: the wait and the receive in one call, which blocks for the first
    // datagram only and then takes what is queued behind it.
    int flags = wait ? MSG_WAITFORONE : MSG_DONTWAIT;
    int received = recvmmsg(s, headers, static_cast<unsigned>(count), flags, nullptr);
    if (received < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return RECEIVE_WOULD_BLOCK;
        return errno == EINTR ? WAIT_ENDED_EARLY : -1;
    }
    for (int i = 0; i < received; i++) {
        datagrams[i].length_bytes = static_cast<int>(headers[i].msg_len);
        read_control(&headers[i].msg_hdr, &datagrams[i]);
    }
    return received;
}

int socket_wait(socket_handle s, int64_t limit_us)
{
    pollfd watched = {s, POLLIN, 0};
    int limit_ms = -1;
    if (limit_us >= 0) {
        // poll counts whole milliseconds: round up so that a timer is never fired early.
        int64_t rounded_ms = (limit_us + 999) / 1000;
        limit_ms = rounded_ms > INT32_MAX ? INT32_MAX : static_cast<int>(rounded_ms);
    }
    int ready = poll(&watched, 1, limit_ms);
    if (ready < 0)
        return errno == EINTR ? WAIT_ENDED_EARLY : -1;
    return (watched.revents & (POLLIN | POLLERR | POLLHUP)) ? 1 : 0;
}

void socket_close(socket_handle s)
{
    close(s);
}
