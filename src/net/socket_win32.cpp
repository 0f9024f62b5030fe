#include "net/socket.h"

#include <mswsock.h>
#include <netioapi.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "base/clock.h"
#include "base/log.h"

// Winsock has no signal-safe way to end a wait on another socket, and shutting the library
// down under the run would make the leave that follows fail. So each wait also watches a
// loopback socket of the process's own, and an interrupt (delivered on a thread of its own)
// sends it one byte: one socket wakes every wait, whichever sockets it watches. Written
// before the loop starts, read by the handler and by every wait.
static SOCKET wake_socket = INVALID_SOCKET;
static sockaddr_in wake_address;

// WSARecvMsg is an extension that must be looked up at run time; set by
// socket_prepare_receiver, read by every receive.
static LPFN_WSARECVMSG receive_message = nullptr;

int net_startup(void)
{
    WSADATA data;
    int code = WSAStartup(MAKEWORD(2, 2), &data);
    if (code != 0) {
        report_error_code("WSAStartup failed", code);
        return -1;
    }
    return 0;
}

int net_wake_on_interrupt(socket_handle)
{
    if (wake_socket != INVALID_SOCKET)
        return 0;
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) {
        report_socket_error("socket failed");
        return -1;
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        report_socket_error("bind failed");
        closesocket(s);
        return -1;
    }
    wake_address = address;
    wake_socket = s;
    return 0;
}

void net_interrupt(void)
{
    if (wake_socket != INVALID_SOCKET)
        sendto(wake_socket, "", 1, 0, reinterpret_cast<const sockaddr *>(&wake_address),
               sizeof wake_address);
}

void net_end_waits_on_request(const volatile sig_atomic_t *)
{
}

void net_cleanup(void)
{
    if (wake_socket != INVALID_SOCKET)
        closesocket(wake_socket);
    wake_socket = INVALID_SOCKET;
    WSACleanup();
}

int socket_prepare_receiver(socket_handle s, int family)
{
    u_long on = 1;
    if (ioctlsocket(s, FIONBIO, &on) != 0)
        return -1;
    DWORD enable = 1;
    int level = family == AF_INET6 ? IPPROTO_IPV6 : IPPROTO_IP;
    int option = family == AF_INET6 ? IPV6_PKTINFO : IP_PKTINFO;
    if (setsockopt(s, level, option, reinterpret_cast<const char *>(&enable), sizeof enable) != 0)
        return -1;
    GUID id = WSAID_WSARECVMSG;
    DWORD returned = 0;
    return WSAIoctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &receive_message,
                    sizeof receive_message, &returned, nullptr, nullptr) == 0
               ? 0
               : -1;
}

// Room for the control messages that may come with one datagram.
#define CONTROL_BYTES_MAX 96

// One datagram, with the address it was sent to; the length, or SOCKET_ERROR.
static int receive_one(socket_handle s, received_datagram *datagram)
{
    alignas(WSACMSGHDR) char control[CONTROL_BYTES_MAX];
    WSABUF data = {static_cast<ULONG>(datagram->size), reinterpret_cast<char *>(datagram->buffer)};
    WSAMSG message = {};
    message.name = reinterpret_cast<sockaddr *>(&datagram->from.storage);
    message.namelen = sizeof datagram->from.storage;
    message.lpBuffers = &data;
    message.dwBufferCount = 1;
    message.Control.buf = control;
    message.Control.len = sizeof control;
    DWORD length = 0;
    if (receive_message(s, &message, &length, nullptr, nullptr) == SOCKET_ERROR)
        return SOCKET_ERROR;
    datagram->have_destination = false;
    datagram->have_drop_count = false;
    datagram->have_arrival = false;
    for (WSACMSGHDR *c = WSA_CMSG_FIRSTHDR(&message); c != nullptr;
         c = WSA_CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            IN_PKTINFO info;
            memcpy(&info, WSA_CMSG_DATA(c), sizeof info);
            sockaddr_in *to = reinterpret_cast<sockaddr_in *>(&datagram->destination.storage);
            to->sin_family = AF_INET;
            to->sin_addr = info.ipi_addr;
            datagram->have_destination = true;
        } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
            IN6_PKTINFO info;
            memcpy(&info, WSA_CMSG_DATA(c), sizeof info);
            sockaddr_in6 *to = reinterpret_cast<sockaddr_in6 *>(&datagram->destination.storage);
            to->sin6_family = AF_INET6;
            to->sin6_addr = info.ipi6_addr;
            datagram->have_destination = true;
        }
    }
    return static_cast<int>(length);
}

// Waits for one of the sockets or the wake socket, as select does: 1 when one is readable, 0
// when the limit passed, WAIT_ENDED_EARLY after an interrupt, or -1.
static int socket_wait(const socket_handle *sockets, int count, int64_t limit_us);

// Winsock has no call for several datagrams at once: one receive each, until none is left.
int socket_receive_many(socket_handle s, received_datagram *datagrams, int count, bool wait)
{
    if (wait) {
        int ready = socket_wait(&s, 1, -1);
        if (ready != 1)
            return ready;
    }
    int received = 0;
    for (; received < count; received++) {
        int length = receive_one(s, &datagrams[received]);
        if (length == SOCKET_ERROR) {
            if (received > 0)
                break;
            return WSAGetLastError() == WSAEWOULDBLOCK ? RECEIVE_WOULD_BLOCK : -1;
        }
        datagrams[received].length_bytes = length;
    }
    return received;
}

// Winsock hands no time of arrival over: the run takes its own clock's at receipt.
int socket_stamp_arrivals(socket_handle)
{
    return 0;
}

// Winsock keeps no count of what a full receive queue dropped.
int socket_count_drops(socket_handle)
{
    return 0;
}

int socket_read_drops(socket_handle, uint32_t *)
{
    return 0;
}

int socket_set_receive_buffer(socket_handle s, uint64_t bytes, uint64_t *granted_bytes)
{
    if (socket_ask_receive_buffer(s, bytes) < 0)
        return -1;
    // What was asked for is above 0, so 0 read back says the read failed.
    *granted_bytes = socket_receive_buffer_bytes(s);
    return *granted_bytes != 0 ? 0 : -1;
}

uint64_t socket_receive_buffer_bytes(socket_handle s)
{
    int bytes = 0;
    int length = sizeof bytes;
    if (getsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char *>(&bytes), &length) != 0 ||
        bytes < 0)
        return 0;
    return static_cast<uint64_t>(bytes);
}

int socket_ask_receive_buffer(socket_handle s, uint64_t bytes)
{
    int asked = bytes > INT32_MAX ? INT32_MAX : static_cast<int>(bytes);
    return setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&asked),
                      sizeof asked) == 0
               ? 0
               : -1;
}

const char *receive_buffer_cap(uint64_t *)
{
    return nullptr;
}

static int socket_wait(const socket_handle *sockets, int count, int64_t limit_us)
{
    fd_set readable;
    FD_ZERO(&readable);
    for (int i = 0; i < count; i++)
        FD_SET(sockets[i], &readable);
    if (wake_socket != INVALID_SOCKET)
        FD_SET(wake_socket, &readable);
    timeval limit;
    timeval *limit_pointer = nullptr;
    if (limit_us >= 0) {
        limit.tv_sec = static_cast<long>(limit_us / 1000000);
        limit.tv_usec = static_cast<long>(limit_us % 1000000);
        limit_pointer = &limit;
    }
    // The first argument is ignored by Winsock.
    int ready = select(0, &readable, nullptr, nullptr, limit_pointer);
    if (ready == SOCKET_ERROR)
        return -1;
    if (wake_socket != INVALID_SOCKET && FD_ISSET(wake_socket, &readable))
        return WAIT_ENDED_EARLY;
    return ready > 0 ? 1 : 0;
}

int wait_set_open(wait_set *set, const socket_handle *sockets, int count)
{
    set->handle = -1;
    set->sockets = sockets;
    set->count = count;
    // Calloc, not new: a failure is an error line here, never an exception.
    WSAPOLLFD *entries = static_cast<WSAPOLLFD *>(calloc(static_cast<size_t>(count) + 1, sizeof *entries));
    if (entries == nullptr) {
        log_line(stderr, "error", "out of memory for %d sockets", count);
        return -1;
    }
    for (int i = 0; i < count; i++)
        entries[i] = {sockets[i], POLLRDNORM, 0};
    entries[count] = {wake_socket, POLLRDNORM, 0};
    set->entries = entries;
    return 0;
}

int wait_set_wait(wait_set *set, int64_t limit_us, int *ready, int ready_max)
{
    WSAPOLLFD *entries = static_cast<WSAPOLLFD *>(set->entries);
    // The wake socket is opened before the loop, after the set may have been.
    entries[set->count].fd = wake_socket;
    ULONG watched = static_cast<ULONG>(set->count) + (wake_socket != INVALID_SOCKET ? 1 : 0);
    INT limit_ms = limit_us < 0 ? -1 : static_cast<INT>(std::min<int64_t>((limit_us + 999) / 1000, INT32_MAX));
    int count = WSAPoll(entries, watched, limit_ms);
    if (count == SOCKET_ERROR)
        return -1;
    if (wake_socket != INVALID_SOCKET && entries[set->count].revents != 0)
        return WAIT_ENDED_EARLY;
    int found = 0;
    for (int i = 0; i < set->count && found < ready_max && found < count; i++)
        if (entries[i].revents != 0)
            ready[found++] = i;
    return found;
}

void wait_set_close(wait_set *set)
{
    free(set->entries);
    set->entries = nullptr;
}

const int64_t busy_nap_us = 0;

void socket_nap(int64_t nap_us)
{
    Sleep(static_cast<DWORD>(nap_us / 1000));
}

int socket_group_limit(void)
{
    return 20;
}

bool is_group_limit_error(int code)
{
    return code == WSAENOBUFS;
}

const char *group_limit_setting(void)
{
    return nullptr;
}

void socket_close(socket_handle s)
{
    closesocket(s);
}

bool is_unimplemented_option(int code)
{
    return code == WSAENOPROTOOPT;
}

// Winsock takes an index where an address would be when it is written as 0.0.0.index.
int socket_set_multicast_interface(socket_handle s, uint32_t index)
{
    DWORD value = htonl(index);
    return setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<const char *>(&value),
                      sizeof value);
}

const char *membership_failure_cause(int code, bool interface_given)
{
    switch (code) {
    case WSAEINVAL:
        return "the group is not a multicast address, or the source is not of its family";
    case WSAEADDRNOTAVAIL:
        return interface_given ? "no such interface, or it has no such address"
                               : "no route leads to the group: give an interface with -i, or "
                                 "add a route for multicast";
    case WSAENOBUFS:
        return "the per-socket limit of groups";
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
        return "no route for the group: give an interface with -i";
    }
    return nullptr;
}
