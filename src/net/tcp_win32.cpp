#include "net/tcp.h"

#include "net/address.h"

int tcp_listen(const endpoint *address, int backlog, socket_handle *listener)
{
    SOCKET s = socket(address->storage.ss_family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return -1;
    // Winsock's SO_REUSEADDR would let another program take the port beside this one.
    BOOL on = TRUE;
    u_long nonblocking = 1;
    if (setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char *>(&on),
                   sizeof on) != 0 ||
        bind(s, reinterpret_cast<const sockaddr *>(&address->storage), endpoint_length(address)) != 0 ||
        listen(s, backlog) != 0 || ioctlsocket(s, FIONBIO, &nonblocking) != 0) {
        int code = WSAGetLastError();
        closesocket(s);
        WSASetLastError(code);
        return -1;
    }
    *listener = s;
    return 0;
}

int tcp_accept(socket_handle listener, socket_handle *connection)
{
    SOCKET s = accept(listener, nullptr, nullptr);
    if (s == INVALID_SOCKET) {
        int code = WSAGetLastError();
        return code == WSAEWOULDBLOCK || code == WSAECONNRESET || code == WSAEINTR ? 0 : -1;
    }
    // An accepted socket takes the listener's mode on Winsock; said again to be sure.
    u_long nonblocking = 1;
    if (ioctlsocket(s, FIONBIO, &nonblocking) != 0) {
        int code = WSAGetLastError();
        closesocket(s);
        WSASetLastError(code);
        return -1;
    }
    *connection = s;
    return 1;
}

static long answer(int count)
{
    if (count != SOCKET_ERROR)
        return count;
    return WSAGetLastError() == WSAEWOULDBLOCK ? TCP_WOULD_BLOCK : -1;
}

long tcp_read(socket_handle s, char *data, size_t size)
{
    return answer(recv(s, data, static_cast<int>(size > 65536 ? 65536 : size), 0));
}

long tcp_write(socket_handle s, const char *data, size_t size)
{
    return answer(send(s, data, static_cast<int>(size > 65536 ? 65536 : size), 0));
}

int tcp_shutdown_write(socket_handle s)
{
    return shutdown(s, SD_SEND) == 0 ? 0 : -1;
}

int tcp_poll(tcp_poll_entry *entries, int count, int limit_ms)
{
    WSAPOLLFD polled[TCP_POLL_MAX];
    if (count > TCP_POLL_MAX)
        count = TCP_POLL_MAX;
    for (int i = 0; i < count; i++)
        polled[i] = {entries[i].socket, static_cast<SHORT>(entries[i].want_write ? POLLOUT : POLLRDNORM), 0};
    int ready = WSAPoll(polled, static_cast<ULONG>(count), limit_ms);
    if (ready == SOCKET_ERROR)
        return -1;
    for (int i = 0; i < count; i++)
        entries[i].ready = polled[i].revents != 0;
    return ready;
}
