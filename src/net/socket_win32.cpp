#include "net/socket.h"

#include <string.h>

#include "log/log.h"

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

void net_wake_on_interrupt(socket_handle)
{
}

// Winsock fails every call made after its clean-up, the wait in progress included, which is
// what ends the run after an interrupt.
int net_interrupt(void)
{
    return WSACleanup() == SOCKET_ERROR ? -1 : 0;
}

int socket_last_error(void)
{
    return WSAGetLastError();
}

int socket_error_text(int code, char *text, size_t size)
{
    char *message = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                  nullptr, static_cast<DWORD>(code),
                                  MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                  reinterpret_cast<char *>(&message), 0, nullptr);
    if (length == 0 || message == nullptr || size == 0)
        return 0;
    // Kept as the system wrote it, line break included.
    strncpy(text, message, size - 1);
    text[size - 1] = '\0';
    LocalFree(message);
    return 1;
}

int socket_set_nonblocking(socket_handle s)
{
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0 ? 0 : -1;
}

// Winsock has no call for several datagrams at once: one recvfrom each, until none is left.
int socket_receive_many(socket_handle s, received_datagram *datagrams, int count, bool wait)
{
    if (wait && socket_wait(s, -1) < 0)
        return RECEIVE_WAIT_FAILED;
    int received = 0;
    for (; received < count; received++) {
        received_datagram *datagram = &datagrams[received];
        int from_length = sizeof datagram->from;
        int length = recvfrom(s, reinterpret_cast<char *>(datagram->buffer),
                              static_cast<int>(datagram->size), 0,
                              reinterpret_cast<sockaddr *>(&datagram->from), &from_length);
        if (length == SOCKET_ERROR) {
            if (received > 0)
                break;
            return WSAGetLastError() == WSAEWOULDBLOCK ? RECEIVE_WOULD_BLOCK : -1;
        }
        datagram->length_bytes = length;
    }
    return received;
}

int socket_wait(socket_handle s, int64_t limit_us)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval limit;
    timeval *limit_pointer = nullptr;
    if (limit_us >= 0) {
        limit.tv_sec = static_cast<long>(limit_us / 1000000);
        limit.tv_usec = static_cast<long>(limit_us % 1000000);
        limit_pointer = &limit;
    }
    // The first argument is ignored by Winsock; it is given as the other platforms want it.
    int ready = select(static_cast<int>(s) + 1, &readable, nullptr, nullptr, limit_pointer);
    if (ready == SOCKET_ERROR)
        return -1;
    return ready > 0 && FD_ISSET(s, &readable) ? 1 : 0;
}

void socket_close(socket_handle s)
{
    closesocket(s);
}
