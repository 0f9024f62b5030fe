#include "app/signals.h"

#include <signal.h>

#include "log/log.h"

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
