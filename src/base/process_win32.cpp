#include "base/process.h"

#include <signal.h>

#include "base/log.h"

// Winsock's sockets are not descriptors of the C runtime, so none can take a closed standard
// stream's place.
int open_missing_standard_streams(void)
{
    return 0;
}

// The C runtime resets a signal to its default action before it calls the handler, and
// delivers console interrupts on a thread of their own.
int install_interrupt_handler(void (*handler)(int))
{
    if (signal(SIGINT, handler) == SIG_ERR || signal(SIGTERM, handler) == SIG_ERR) {
        log_line(stderr, "error", "signal failed");
        return -1;
    }
    return 0;
}

int install_summary_handler(void (*)(int))
{
    return 0;
}

// A console or a file does not wait for a reader; a stalled pipe's write is left to the second
// interrupt.
void release_standard_output(void)
{
}

void restore_standard_output(void)
{
}
