#include "base/process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/log.h"

int open_missing_standard_streams(void)
{
    for (int descriptor = 0; descriptor <= 2; descriptor++) {
        if (fcntl(descriptor, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free descriptor is the one just found closed, as the lower ones are open.
        int opened = open("/dev/null", descriptor == 0 ? O_RDONLY : O_WRONLY);
        if (opened != descriptor) {
            if (opened >= 0)
                close(opened);
            return -1;
        }
    }
    return 0;
}

// Installs handler for each signal of the list (ended by 0) with the flags. Returns 0, or -1
// after an error line.
static int install_handler(void (*handler)(int), const int *signals, int flags)
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    for (; *signals != 0; signals++) {
        if (sigaction(*signals, &action, nullptr) != 0) {
            report_socket_error("sigaction failed");
            return -1;
        }
    }
    return 0;
}

int install_interrupt_handler(void (*handler)(int))
{
    static const int interrupts[] = {SIGINT, SIGTERM, 0};
    // No SA_RESTART: a write blocked on a stalled standard output returns, and the run gets
    // back to its wait, which then fails and stops the run.
    return install_handler(handler, interrupts, SA_RESETHAND);
}

int install_hangup_handler(void (*handler)(int))
{
    static const int hangup[] = {SIGHUP, 0};
    return install_handler(handler, hangup, SA_RESETHAND);
}

int install_ending_handler(void (*handler)(int))
{
    static const int ending[] = {SIGQUIT, SIGUSR2, SIGALRM, SIGPIPE, SIGXCPU, SIGXFSZ, SIGVTALRM,
                                 SIGPROF, SIGPOLL, SIGSYS, 0};
    if (install_handler(handler, ending, SA_RESETHAND) < 0)
        return -1;
    for (int number = SIGRTMIN; number <= SIGRTMAX; number++) {
        int one[] = {number, 0};
        if (install_handler(handler, one, SA_RESETHAND) < 0)
            return -1;
    }
    return 0;
}

void hand_next_signal(int signal_number, void (*handler)(int))
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    sigaction(signal_number, &action, nullptr);
}

// The handler was one-shot, so the default action is back: the signal raised again is held
// until the handler returns, and then does what it would have done unhandled.
void end_by_signal(int signal_number)
{
    raise(signal_number);
}

int install_summary_handler(void (*handler)(int))
{
    static const int summary[] = {SIGUSR1, 0};
    return install_handler(handler, summary, SA_RESTART);
}

// The descriptor's flags before release_standard_output, or -1 when it changed nothing.
// Written by the interrupt handler, read at the end of the run.
static volatile sig_atomic_t released_flags = -1;
// Set by the interrupt handler: from then on a write to standard output never waits for ever.
static volatile sig_atomic_t released = 0;

void release_standard_output(void)
{
    released = 1;
    int saved = errno;
    struct stat status;
    if (released_flags == -1 && fstat(1, &status) == 0 &&
        (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode))) {
        int flags = fcntl(1, F_GETFL);
        if (flags != -1 && fcntl(1, F_SETFL, flags | O_NONBLOCK) == 0)
            released_flags = flags;
    }
    errno = saved;
}

void restore_standard_output(void)
{
    if (released_flags != -1)
        fcntl(1, F_SETFL, static_cast<int>(released_flags));
    released_flags = -1;
    released = 0;
}

bool standard_output_released(void)
{
    return released != 0;
}

long write_standard_output(const char *data, size_t length)
{
    return static_cast<long>(write(1, data, length));
}

int wait_standard_output(int64_t limit_us)
{
    pollfd out = {1, POLLOUT, 0};
    int limit_ms = limit_us < 0 ? -1 : static_cast<int>((limit_us + 999) / 1000);
    return poll(&out, 1, limit_ms) < 0 ? -1 : 0;
}

uint64_t raise_open_file_limit(uint64_t wanted)
{
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return UINT64_MAX;
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= wanted)
        return limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX : limit.rlim_cur;
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max == RLIM_INFINITY || limit.rlim_max > wanted ? wanted : limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
        return raised.rlim_cur;
    return limit.rlim_cur;
}

void start_thread_without_signals(std::thread *thread, void (*body)(void *), void *context)
{
    // The new thread takes the mask in force where it is made.
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    *thread = std::thread(body, context);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

void this_host_name(char *out, size_t size)
{
    if (gethostname(out, size) != 0)
        snprintf(out, size, "unknown");
    out[size - 1] = '\0';
}
