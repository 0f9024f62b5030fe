// Shared libraries loaded when a run needs them, not at every start (libpcap for -r, ncurses
// for --top): linked, they would bring their pages to every run. POSIX only.
#pragma once

#include <dlfcn.h>

// Loads the first of the count libraries named that the system has. Returns its handle, or
// null after the error line "<option> needs <library>, which could not be loaded (Debian:
// <package>): <the loader's reason>".
void *load_library(const char *const *names, int count, const char *option, const char *library,
                   const char *package);

// Finds a call of a loaded library by name. Returns whether it is there.
template <typename call> bool find_call(void *library, call *found, const char *name)
{
    *found = reinterpret_cast<call>(dlsym(library, name));
    return *found != nullptr;
}
