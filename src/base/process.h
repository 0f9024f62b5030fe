// The process around the run: standard streams that are surely open, and the interrupt
// handler for SIGINT and SIGTERM.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <thread>

// Opens the null device on each of the standard descriptors 0, 1 and 2 that is closed, so that
// no socket opened later takes a standard stream's place and receives its lines. Returns 0, or
// -1 when the null device could not be opened (nothing can be printed then).
int open_missing_standard_streams(void);

// Installs the interrupt handler for SIGINT and SIGTERM, one-shot: the default action is back
// before the handler runs, so a second interrupt ends the process at once. Returns 0, or -1
// after an error line.
int install_interrupt_handler(void (*handler)(int));

// Installs the handler of the request for a summary so far (SIGUSR1; Windows has no such
// signal, and nothing is installed there). The signal comes at once, whatever the run is
// doing: the loop looks at the handler's flag after each batch, and a wait that could last
// holds it back until the wait starts (net_end_waits_on_request). Returns 0, or -1 after an
// error line.
int install_summary_handler(void (*handler)(int));

// Installs handler for SIGHUP as install_interrupt_handler does for SIGINT and SIGTERM, so that
// a terminal that goes away stops the run in order (Windows has no such signal). Returns 0, or
// -1 after an error line.
int install_hangup_handler(void (*handler)(int));

// Installs handler, one-shot, for the other signals that end the process where nothing handles
// them (SIGQUIT, SIGUSR2, SIGALRM, SIGPIPE, ...; none on Windows), so that it can give back
// what the process holds and then call end_by_signal. The interrupts and SIGUSR1 are the run's
// own; a fault is left to its own handler (a sanitizer's report among them). Returns 0, or -1
// after an error line.
int install_ending_handler(void (*handler)(int));

// Async-signal-safe: the next signal_number runs handler, one-shot. For an interrupt handler
// whose second interrupt must give something back before it ends the process.
void hand_next_signal(int signal_number, void (*handler)(int));

// Async-signal-safe, called last by a one-shot handler: ends the process by the signal it
// handles, as the signal's default action would have.
void end_by_signal(int signal_number);

// Called from the interrupt handler, so async-signal-safe: a write to standard output that
// waits for a reader (a pipe or a socket) stops waiting, so that a stalled reader cannot hold
// up the stop. A write larger than a pipe's atomic size that the interrupt cuts short returns
// a part, and stdio would wait again for the rest. Terminals and files are left as they are.
void release_standard_output(void);

// Undoes release_standard_output before the process ends: the descriptor may be shared.
void restore_standard_output(void);

// Whether release_standard_output has run since the last restore.
bool standard_output_released(void);

// Writes up to length bytes to standard output's descriptor. Returns how many, or -1 with
// errno set (EINTR: a signal cut the wait short; EAGAIN: released and the reader is full).
long write_standard_output(const char *data, size_t length);

// Waits until standard output takes more, at most limit_us (-1: for as long as it takes).
// Returns 0, or -1 with errno set.
int wait_standard_output(int64_t limit_us);

// Makes room for files open at once: where the soft limit is below wanted, it is raised as far
// as the hard limit allows. Returns the limit now in force (UINT64_MAX where there is none to
// name: Windows).
uint64_t raise_open_file_limit(uint64_t wanted);

// Starts body(context) on a thread of its own that takes no signals (POSIX; nothing to do on
// Windows), so that an interrupt or a summary request always reaches the thread whose wait it
// must end.
void start_thread_without_signals(std::thread *thread, void (*body)(void *), void *context);

// This host's name, terminated, cut to size; "unknown" where the system will not say.
void this_host_name(char *out, size_t size);
