#include "base/files.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "base/log.h"

int replace_file(const char *temporary, const char *path)
{
    if (rename(temporary, path) == 0)
        return 0;
    int code = errno;
    log_line(stderr, "error", "Failed to rename \"%s\" to \"%s\": (%d) %s", temporary, path, code,
             strerror(code));
    remove(temporary);
    return -1;
}
