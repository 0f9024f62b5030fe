#include "app/signals.h"

#include <signal.h>
#include <string.h>

#include "log/log.h"

int install_interrupt_handler(void (*handler)(int))
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a write blocked on a stalled standard output returns, and the run gets
    // back to its wait, which then fails and stops the run.
    action.sa_flags = SA_RESETHAND;
    if (sigaction(SIGINT, &action, nullptr) != 0 || sigaction(SIGTERM, &action, nullptr) != 0) {
        report_socket_error("sigaction failed");
        return -1;
    }
    return 0;
}
