#include "net/socket.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <time.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <stdio.h>
#include <unistd.h>

#include <linux/sock_diag.h>

#include "base/clock.h"
#include "base/log.h"

// There is no library to shut down here, so an interrupt ends the wait by shutting the
// receiving socket down for reading: Linux then wakes every wait on it, the one in progress
// and any later one, even on an unconnected UDP socket (where shutdown reports ENOTCONN all
// the same). A signal that lands just before the wait is not lost, since the shutdown is
// already in force when the wait starts; and the wait needs no second descriptor to watch.
// Written by the run before its loop, read by the interrupt handler.
static volatile socket_handle interrupt_sockets[WAKE_SOCKETS_MAX];
static volatile sig_atomic_t interrupt_socket_count = 0;

int net_startup(void)
{
    return 0;
}

int net_wake_on_interrupt(socket_handle s)
{
    if (interrupt_socket_count >= WAKE_SOCKETS_MAX) {
        log_line(stderr, "error", "too many sockets");
        return -1;
    }
    interrupt_sockets[interrupt_socket_count] = s;
    interrupt_socket_count = interrupt_socket_count + 1;
    return 0;
}

void net_interrupt(void)
{
    int saved = errno;
    for (int i = 0; i < interrupt_socket_count; i++)
        shutdown(interrupt_sockets[i], SHUT_RD);
    errno = saved;
}

// Written by the run before its loop, read before each wait that could last.
static const volatile sig_atomic_t *request_flag = nullptr;

void net_end_waits_on_request(const volatile sig_atomic_t *requested)
{
    request_flag = requested;
}

void net_cleanup(void)
{
    interrupt_socket_count = 0;
    request_flag = nullptr;
}

// Receives never block here: a wait is a ppoll of its own (wait_readable).
int socket_prepare_receiver(socket_handle s, int family)
{
    int off = 0;
    int on = 1;
    if (family == AF_INET6)
        return setsockopt(s, IPPROTO_IPV6, IPV6_MULTICAST_ALL, &off, sizeof off) != 0 ||
                       setsockopt(s, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on) != 0
                   ? -1
                   : 0;
    if (setsockopt(s, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off) != 0)
        return -1;
    return setsockopt(s, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
}

// The summary request is held back from the look at its flag to the start of a wait that
// could last, and let in by the wait alone: one that came before is seen and the wait is not
// started (false), one that comes after ends the wait. *let_in is the wait's mask, *before the
// one to put back after it. A wait that only looks needs none of this.
static bool hold_request_for_wait(sigset_t *before, sigset_t *let_in)
{
    sigset_t request;
    sigemptyset(&request);
    sigaddset(&request, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &request, before);
    if (request_flag != nullptr && *request_flag) {
        pthread_sigmask(SIG_SETMASK, before, nullptr);
        return false;
    }
    *let_in = *before;
    sigdelset(let_in, SIGUSR1);
    return true;
}

// Waits until one of the sockets is readable or the limit (null: none) passes. Returns as
// ppoll does, -1 with EINTR where a summary request came first.
static int wait_readable(const socket_handle *sockets, int count, const timespec *limit)
{
    pollfd watched[WAKE_SOCKETS_MAX];
    for (int i = 0; i < count; i++)
        watched[i] = {sockets[i], POLLIN, 0};
    sigset_t before;
    sigset_t let_in;
    if (!hold_request_for_wait(&before, &let_in)) {
        errno = EINTR;
        return -1;
    }
    int ready = ppoll(watched, static_cast<nfds_t>(count), limit, &let_in);
    int saved = errno;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    errno = saved;
    return ready;
}

// Room for the control messages that may come with one datagram: the destination, the drop
// count and the time of arrival.
#define CONTROL_BYTES_MAX 128

static void read_control(msghdr *header, received_datagram *datagram)
{
    datagram->have_destination = false;
    datagram->have_drop_count = false;
    datagram->have_arrival = false;
    for (cmsghdr *c = CMSG_FIRSTHDR(header); c != nullptr; c = CMSG_NXTHDR(header, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
            memcpy(&datagram->drop_count, CMSG_DATA(c), sizeof datagram->drop_count);
            datagram->have_drop_count = true;
        }
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec arrival;
            memcpy(&arrival, CMSG_DATA(c), sizeof arrival);
            datagram->arrival_utc_us = static_cast<uint64_t>(arrival.tv_sec) * 1000000u +
                                       static_cast<uint64_t>(arrival.tv_nsec) / 1000u;
            datagram->have_arrival = true;
        }
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            memcpy(&info, CMSG_DATA(c), sizeof info);
            sockaddr_in *to = reinterpret_cast<sockaddr_in *>(&datagram->destination.storage);
            to->sin_family = AF_INET;
            to->sin_addr = info.ipi_addr;
            datagram->have_destination = true;
        } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
            in6_pktinfo info;
            memcpy(&info, CMSG_DATA(c), sizeof info);
            sockaddr_in6 *to = reinterpret_cast<sockaddr_in6 *>(&datagram->destination.storage);
            to->sin6_family = AF_INET6;
            to->sin6_addr = info.ipi6_addr;
            datagram->have_destination = true;
        }
    }
}

int descriptor_wait_readable(int fd)
{
    if (wait_readable(&fd, 1, nullptr) < 0)
        return errno == EINTR ? WAIT_ENDED_EARLY : -1;
    return 1;
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
        headers[i].msg_hdr.msg_name = &datagrams[i].from.storage;
        headers[i].msg_hdr.msg_namelen = sizeof datagrams[i].from.storage;
        headers[i].msg_hdr.msg_iov = &vectors[i];
        headers[i].msg_hdr.msg_iovlen = 1;
        headers[i].msg_hdr.msg_control = control[i];
        headers[i].msg_hdr.msg_controllen = sizeof control[i];
    }
    if (wait) {
        int ready = wait_readable(&s, 1, nullptr);
        if (ready < 0)
            return errno == EINTR ? WAIT_ENDED_EARLY : -1;
    }
    int received = recvmmsg(s, headers, static_cast<unsigned>(count), MSG_DONTWAIT, nullptr);
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

int socket_stamp_arrivals(socket_handle s)
{
    int on = 1;
    return setsockopt(s, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) == 0 ? 1 : -1;
}

int socket_count_drops(socket_handle s)
{
    int on = 1;
    return setsockopt(s, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) == 0 ? 1 : -1;
}

int socket_read_drops(socket_handle s, uint32_t *count)
{
    uint32_t memory[SK_MEMINFO_VARS];
    socklen_t length = sizeof memory;
    if (getsockopt(s, SOL_SOCKET, SO_MEMINFO, memory, &length) != 0 ||
        length <= SK_MEMINFO_DROPS * sizeof memory[0])
        return 0;
    *count = memory[SK_MEMINFO_DROPS];
    return 1;
}

int socket_set_receive_buffer(socket_handle s, uint64_t bytes, uint64_t *granted_bytes)
{
    int asked = bytes > INT32_MAX ? INT32_MAX : static_cast<int>(bytes);
    // The forced form passes net.core.rmem_max, but only with CAP_NET_ADMIN.
    if (setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &asked, sizeof asked) != 0 &&
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &asked, sizeof asked) != 0)
        return -1;
    // What was asked for is above 0, so 0 read back says the read failed.
    *granted_bytes = socket_receive_buffer_bytes(s);
    return *granted_bytes != 0 ? 0 : -1;
}

uint64_t socket_receive_buffer_bytes(socket_handle s)
{
    int bytes = 0;
    socklen_t length = sizeof bytes;
    if (getsockopt(s, SOL_SOCKET, SO_RCVBUF, &bytes, &length) != 0 || bytes < 0)
        return 0;
    return static_cast<uint64_t>(bytes);
}

int socket_ask_receive_buffer(socket_handle s, uint64_t bytes)
{
    int asked = bytes / 2 > INT32_MAX ? INT32_MAX : static_cast<int>(bytes / 2);
    return setsockopt(s, SOL_SOCKET, SO_RCVBUF, &asked, sizeof asked) == 0 ? 0 : -1;
}

const char *receive_buffer_cap(uint64_t *cap_bytes)
{
    FILE *setting = fopen("/proc/sys/net/core/rmem_max", "r");
    if (setting == nullptr)
        return nullptr;
    unsigned long long value = 0;
    int read = fscanf(setting, "%llu", &value);
    fclose(setting);
    if (read != 1)
        return nullptr;
    *cap_bytes = value;
    return "net.core.rmem_max";
}

// What a limit comes to in whole milliseconds, rounded up, so that a timer is never fired early.
static int limit_ms_of(int64_t limit_us)
{
    if (limit_us < 0)
        return -1;
    int64_t rounded_ms = (limit_us + 999) / 1000;
    return rounded_ms > INT32_MAX ? INT32_MAX : static_cast<int>(rounded_ms);
}

int wait_set_open(wait_set *set, const socket_handle *sockets, int count)
{
    set->entries = nullptr;
    set->sockets = sockets;
    set->count = count;
    set->handle = epoll_create1(EPOLL_CLOEXEC);
    if (set->handle < 0) {
        report_socket_error("epoll_create1 failed");
        return -1;
    }
    for (int i = 0; i < count; i++) {
        epoll_event watched = {};
        watched.events = EPOLLIN;
        watched.data.u32 = static_cast<uint32_t>(i);
        if (epoll_ctl(set->handle, EPOLL_CTL_ADD, sockets[i], &watched) != 0) {
            report_socket_error("epoll_ctl failed");
            close(set->handle);
            return -1;
        }
    }
    return 0;
}

// A summary request ends a wait that could last, as in wait_readable.
int wait_set_wait(wait_set *set, int64_t limit_us, int *ready, int ready_max)
{
    epoll_event events[256];
    int most = ready_max < 256 ? ready_max : 256;
    int count = 0;
    if (limit_us == 0) {
        count = epoll_wait(set->handle, events, most, 0);
    } else {
        sigset_t before;
        sigset_t let_in;
        if (!hold_request_for_wait(&before, &let_in))
            return WAIT_ENDED_EARLY;
        count = epoll_pwait(set->handle, events, most, limit_ms_of(limit_us), &let_in);
        int saved = errno;
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        errno = saved;
    }
    if (count < 0)
        return errno == EINTR ? WAIT_ENDED_EARLY : -1;
    for (int i = 0; i < count; i++)
        ready[i] = static_cast<int>(events[i].data.u32);
    return count;
}

void wait_set_close(wait_set *set)
{
    if (set->handle >= 0)
        close(set->handle);
    set->handle = -1;
}

// Half a millisecond: the measured sweet spot, and well inside the millisecond that a line may
// be held back under load.
const int64_t busy_nap_us = 500;

void socket_nap(int64_t nap_us)
{
    timespec nap = {0, static_cast<long>(nap_us * 1000)};
    nanosleep(&nap, nullptr);
}

int socket_group_limit(void)
{
    FILE *setting = fopen("/proc/sys/net/ipv4/igmp_max_memberships", "r");
    int limit = 0;
    if (setting != nullptr) {
        if (fscanf(setting, "%d", &limit) != 1)
            limit = 0;
        fclose(setting);
    }
    return limit > 0 ? limit : 20;
}

bool is_group_limit_error(int code)
{
    return code == ENOBUFS;
}

const char *group_limit_setting(void)
{
    return "net.ipv4.igmp_max_memberships";
}

void socket_close(socket_handle s)
{
    close(s);
}

bool is_unimplemented_option(int code)
{
    return code == ENOPROTOOPT;
}

int socket_set_multicast_interface(socket_handle s, uint32_t index)
{
    ip_mreqn request;
    memset(&request, 0, sizeof request);
    request.imr_ifindex = static_cast<int>(index);
    return setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &request, sizeof request);
}

const char *membership_failure_cause(int code, bool interface_given)
{
    switch (code) {
    case EINVAL:
        return "the group is not a multicast address, or the source is not of its family";
    case ENODEV:
    case EADDRNOTAVAIL:
        return interface_given ? "no such interface, or it has no such address"
                               : "no route leads to the group: give an interface with -i, or "
                                 "add a route for multicast";
    case ENOBUFS:
        return "the per-socket limit of groups (net.ipv4.igmp_max_memberships, "
               "net.ipv6.mld_max_msf)";
    case ENETUNREACH:
    case EHOSTUNREACH:
        return "no route for the group: give an interface with -i";
    }
    return nullptr;
}
