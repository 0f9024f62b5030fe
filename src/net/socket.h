// The platform's socket library behind one set of calls: Winsock 2 on Windows, BSD sockets
// elsewhere. Everything else in the tool is written against this header only.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
typedef SOCKET socket_handle;
#define INVALID_SOCKET_HANDLE INVALID_SOCKET
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
typedef int socket_handle;
#define INVALID_SOCKET_HANDLE (-1)
#endif

// socket_receive's answer when no datagram is waiting.
#define RECEIVE_WOULD_BLOCK (-2)

// Prepares the library for a run (WSAStartup 2.2 on Windows, the interrupt wake-up elsewhere).
// Returns 0, or -1 after writing its error line.
int net_startup(void);

// Called from the interrupt handler, so it is async-signal-safe: afterwards the wait in
// progress, or the next one, fails. Returns 0, or -1 when the library's clean-up itself failed
// (the caller reports that; the error code is still the library's last error).
int net_interrupt(void);

// The library's last error code (errno, or WSAGetLastError).
int socket_last_error(void);

// The system's English text for an error code, copied into text (truncated to size). Returns
// 1 when the system had a text, 0 when it had none.
int socket_error_text(int code, char *text, size_t size);

// Turns off blocking on a socket so that socket_receive can tell an empty queue. Returns 0,
// or -1 with the library's last error set.
int socket_set_nonblocking(socket_handle s);

// Receives one datagram without blocking. Returns its length, RECEIVE_WOULD_BLOCK when none
// is queued, or -1 with the library's last error set.
int socket_receive(socket_handle s, unsigned char *buffer, size_t size, sockaddr_in *from);

// Waits until s is readable, at most limit_us microseconds (a negative limit waits for ever).
// Returns 1 when readable, 0 when the limit passed, -1 when the wait failed, as it does for
// good once net_interrupt has been called.
int socket_wait(socket_handle s, int64_t limit_us);

void socket_close(socket_handle s);
