#include "base/process.h"

#include <io.h>
#include <signal.h>
#include <stdio.h>
#include <windows.h>

#include "base/console_win32.h"
#include "base/log.h"

// Winsock's sockets are not descriptors of the C runtime, so none can take a closed standard
// stream's place.
int open_missing_standard_streams(void)
{
    return 0;
}

static void (*interrupt_handler)(int) = nullptr;
static volatile LONG console_events = 0;

console_action console_event_action(unsigned long event, long events_seen)
{
    if (event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return CONSOLE_PASS; // Ctrl+C is the C runtime's SIGINT
    if (events_seen > 1)
        return CONSOLE_PASS;
    return event == CTRL_CLOSE_EVENT ? CONSOLE_STOP_AND_HOLD : CONSOLE_STOP;
}

// Ctrl+Break and the closing of the console end a program outright unless it handles them.
// From a closing console it waits for the run to end the process itself (the system allows
// about five seconds).
static BOOL WINAPI on_console_event(DWORD event)
{
    bool ours = event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT;
    console_action action =
        console_event_action(event, ours ? InterlockedIncrement(&console_events) : 0);
    if (action == CONSOLE_PASS)
        return FALSE;
    interrupt_handler(SIGINT);
    if (action == CONSOLE_STOP_AND_HOLD)
        Sleep(INFINITE);
    return TRUE;
}

// The C runtime resets a signal to its default action before it calls the handler, and
// delivers console interrupts on a thread of their own.
int install_interrupt_handler(void (*handler)(int))
{
    interrupt_handler = handler;
    if (signal(SIGINT, handler) == SIG_ERR || signal(SIGTERM, handler) == SIG_ERR ||
        !SetConsoleCtrlHandler(on_console_event, TRUE)) {
        log_line(stderr, "error", "signal failed");
        return -1;
    }
    return 0;
}

int install_summary_handler(void (*)(int))
{
    return 0;
}

int install_hangup_handler(void (*)(int))
{
    return 0;
}

int install_ending_handler(void (*)(int))
{
    return 0;
}

void hand_next_signal(int, void (*)(int))
{
}

void end_by_signal(int signal_number)
{
    raise(signal_number);
}

// A console or a file does not wait for a reader; a stalled pipe's write is left to the second
// interrupt.
void release_standard_output(void)
{
}

void restore_standard_output(void)
{
}

bool standard_output_released(void)
{
    return false;
}

long write_standard_output(const char *data, size_t length)
{
    // The C runtime's own write, so that a console or a text-mode file gets CRLF as from any
    // Windows program.
    return _write(1, data, static_cast<unsigned>(length > 0x40000000 ? 0x40000000 : length));
}

int wait_standard_output(int64_t)
{
    Sleep(1);
    return 0;
}

// Winsock's sockets are handles, not descriptors of a table with a limit.
uint64_t raise_open_file_limit(uint64_t)
{
    return UINT64_MAX;
}

void start_thread_without_signals(std::thread *thread, void (*body)(void *), void *context)
{
    // A console's control events come on a thread the system makes, whatever this one does.
    *thread = std::thread(body, context);
}

void this_host_name(char *out, size_t size)
{
    DWORD length = static_cast<DWORD>(size);
    if (!GetComputerNameA(out, &length))
        snprintf(out, size, "unknown");
    out[size - 1] = '\0';
}
