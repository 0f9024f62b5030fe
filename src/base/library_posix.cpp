#include "base/library.h"

#include <stdio.h>

#include "base/log.h"

void *load_library(const char *const *names, int count, const char *option, const char *library,
                   const char *package)
{
    void *handle = nullptr;
    for (int i = 0; i < count && handle == nullptr; i++)
        handle = dlopen(names[i], RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr)
        log_line(stderr, "error", "%s needs %s, which could not be loaded (Debian: %s): %s", option,
                 library, package, dlerror());
    return handle;
}
