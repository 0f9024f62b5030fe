// Test aid, preloaded by tests/wine.sh into a Windows program that Wine runs: writes the status
// the program exits with to $MCWATCH_EXIT_STATUS_DIR/<its process ID>. Wine closes its
// connection to its server just before it calls exit(), and the server kills a process that
// still runs half a second after that; on a busy machine the status is lost unless kept first.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

typedef void (*exit_function)(int);

static void keep_status(int status)
{
    const char *folder = getenv("MCWATCH_EXIT_STATUS_DIR");
    char path[4096];
    if (folder == nullptr ||
        snprintf(path, sizeof path, "%s/%ld", folder, static_cast<long>(getpid())) >=
            static_cast<int>(sizeof path))
        return;
    int file = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (file < 0)
        return;
    char text[16];
    int length = snprintf(text, sizeof text, "%d\n", status);
    // A short or failed write leaves the status unread, as without the shim.
    if (write(file, text, static_cast<size_t>(length)) != length)
        unlink(path);
    close(file);
}

extern "C" void exit(int status) noexcept
{
    keep_status(status);
    exit_function real = reinterpret_cast<exit_function>(dlsym(RTLD_NEXT, "exit"));
    if (real != nullptr)
        real(status);
    _exit(status);
}
