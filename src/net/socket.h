// The platform's socket library behind one set of calls: Winsock 2 on Windows, BSD sockets
// elsewhere. Everything else in the tool is written against this header only.
#pragma once

#include <signal.h>
#include <stddef.h>
#include <stdint.h>

#include "net/endpoint.h"

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

// socket_receive_many's answer when no datagram is waiting.
#define RECEIVE_WOULD_BLOCK (-2)
// The answer of a wait that ended early without a failure: a signal came (EINTR), or
// net_interrupt woke it. Whether the run stops is the caller's flag to say, not the wait's.
#define WAIT_ENDED_EARLY (-3)

// The most datagrams one call receives.
#define RECEIVE_BATCH_MAX 64

// Prepares the library for a run (WSAStartup 2.2 on Windows; nothing elsewhere). Returns 0, or
// -1 after writing its error line.
int net_startup(void);

// Adds a socket to those whose wait an interrupt must end (up to WAKE_SOCKETS_MAX; one is
// enough for a wait set, which wakes when any of its sockets does; Winsock: the first call
// opens the loopback socket that the interrupt writes to). Returns 0, or -1 after an error
// line.
#define WAKE_SOCKETS_MAX 8
int net_wake_on_interrupt(socket_handle s);

// Called from the interrupt handler, so it is async-signal-safe: afterwards the wait in
// progress, and every later one, ends with WAIT_ENDED_EARLY or an empty receive.
void net_interrupt(void);

// The flag that the summary request's handler sets (SIGUSR1; Windows has no such signal). The
// request comes at once, whatever the loop is doing, and the loop looks at the flag after each
// batch; a wait that could last does not start while the flag is set, and the request ends a
// wait in progress, so that it is never left to the next datagram.
void net_end_waits_on_request(const volatile sig_atomic_t *requested);

// Undoes net_startup and net_wake_on_interrupt, after the run has closed its sockets.
void net_cleanup(void);

// Readies a socket for socket_receive_many: each datagram comes with the address it was sent
// to, a wildcard-bound socket receives only the groups it joined itself (Linux otherwise
// delivers every group joined on the host to every socket on the port), and on Winsock
// blocking is off so that a batch can be drained one datagram at a time. Returns 0, or -1
// with the library's last error set.
int socket_prepare_receiver(socket_handle s, int family);

// One datagram of a batch: where it goes (size bytes), and what arrived.
struct received_datagram {
    unsigned char *buffer;
    size_t size;
    int length_bytes;
    endpoint from;
    bool have_destination;   // false where the system gave no destination address
    endpoint destination;    // the address the datagram was sent to (its port is not set)
    bool have_drop_count;    // with socket_count_drops on: the socket's drops so far
    uint32_t drop_count;     // cumulative, wrapping
    bool have_arrival;       // with socket_stamp_arrivals on: when the kernel received it
    uint64_t arrival_utc_us; // microseconds since 1970, on the kernel's clock
    // Set by whoever hands the datagram to the run, not by the socket: its own time of arrival
    // on the run's monotonic clock (the kernel's stamp moved onto it, a capture's time, or the
    // receive's), and the stream it is for where that is known without looking (-1: look).
    uint64_t at_us;
    int stream;
};

// Asks the system to hand each datagram's time of arrival with it, as the kernel took it (not
// when this process got to it). Returns 1, 0 where the platform gives none (Windows), or -1
// with the library's last error set.
int socket_stamp_arrivals(socket_handle s);

// Asks the system to hand the socket's count of datagrams dropped for a full receive queue
// with each datagram. Returns 1, 0 where the platform keeps no such count (Windows), or -1
// with the library's last error set.
int socket_count_drops(socket_handle s);

// Reads the socket's drop count now (cumulative, wrapping). Returns 1, or 0 where the
// platform keeps no such count.
int socket_read_drops(socket_handle s, uint32_t *count);

// Asks for a receive buffer of bytes (past the system's cap where the process may) and reads
// back what was granted. Returns 0, or -1 with the library's last error set.
int socket_set_receive_buffer(socket_handle s, uint64_t bytes, uint64_t *granted_bytes);

// The socket's receive buffer as the system counts it against what is queued, or 0 where it
// cannot be read.
uint64_t socket_receive_buffer_bytes(socket_handle s);

// Asks, without privilege, for a receive buffer of bytes as socket_receive_buffer_bytes counts
// it (Linux doubles what is asked, for its bookkeeping; the system may grant less). Returns 0,
// or -1 with the library's last error set.
int socket_ask_receive_buffer(socket_handle s, uint64_t bytes);

// The system setting that caps an ordinary receive buffer request, and its value; null where
// the platform has none to name.
const char *receive_buffer_cap(uint64_t *cap_bytes);

// Receives up to count datagrams, in one call where the platform has one (recvmmsg). With wait,
// it first waits for one for as long as it takes; without, it takes only what is queued.
// Returns how many arrived (fewer than count: the queue was empty then; 0 after
// net_interrupt on POSIX), RECEIVE_WOULD_BLOCK when none was queued, WAIT_ENDED_EARLY, or -1
// with the library's last error set.
int socket_receive_many(socket_handle s, received_datagram *datagrams, int count, bool wait);

// Sockets waited on together, as many as a run has streams: epoll on Linux, WSAPoll on
// Windows (select takes no more than 64 sockets there). A wait names the ready ones by their
// place in the array the set was opened with.
struct wait_set {
    int handle;                    // the epoll descriptor; -1 on Windows
    void *entries;                 // Windows: the WSAPOLLFD array, the wake socket's last
    const socket_handle *sockets;
    int count;
};

// Opens a set over count sockets (the array must outlive the set). Returns 0, or -1 after an
// error line.
int wait_set_open(wait_set *set, const socket_handle *sockets, int count);

// Waits until sockets of the set are readable, at most limit_us microseconds (0: only looks;
// a negative limit waits for ever), and writes the places of up to ready_max of them to ready.
// Returns how many, 0 when the limit passed, WAIT_ENDED_EARLY (a signal, or an interrupt: on
// POSIX the interrupted socket then reads as ready for good), or -1 with the library's last
// error set.
int wait_set_wait(wait_set *set, int64_t limit_us, int *ready, int ready_max);

void wait_set_close(wait_set *set);

#ifndef _WIN32
// Waits, for as long as it takes, until descriptor fd (a pipe) has something to read. Returns
// 1, WAIT_ENDED_EARLY where a signal or a summary request ended the wait, or -1 with errno set.
int descriptor_wait_readable(int fd);
#endif

// The longest the loop naps after a busy batch before it takes what queued meanwhile
// (monitor/pace.h sizes each nap): on an evenly paced stream a few datagrams arrive per
// wake-up, and the wake-ups, not the copies, are the cost. 0 where the platform keeps its loop
// as it is (Windows).
extern const int64_t busy_nap_us;

// Sleeps for nap_us, or less when a signal comes.
void socket_nap(int64_t nap_us);

// Sends a socket's IPv4 multicast on the interface with this index (Linux: ip_mreqn; Windows:
// the index in the address's place). Returns 0, or -1 with the library's last error set.
int socket_set_multicast_interface(socket_handle s, uint32_t index);

// The likely cause of a failed join, for the system's error code; null where none is known.
// Whether the system's error code says that a socket option is not implemented.
bool is_unimplemented_option(int code);

// interface_given: whether -i (or a zone) named the interface; without one, a missing device
// means that no route leads to the group.
const char *membership_failure_cause(int code, bool interface_given);

// How many groups one socket may join: Linux's net.ipv4.igmp_max_memberships (20 unless
// set otherwise), and as many on Windows, whose sockets were long held to it.
int socket_group_limit(void);

// Whether a failed join's error code says that the socket holds as many groups as it may, and
// the setting that says how many (null where the platform has none to name).
bool is_group_limit_error(int code);
const char *group_limit_setting(void);

void socket_close(socket_handle s);
