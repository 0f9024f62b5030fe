#include "base/files.h"

#include <errno.h>
#include <stdio.h>

#include "base/log.h"

int replace_file(const char *temporary, const char *path)
{
    if (rename(temporary, path) == 0)
        return 0;
    report_c_error("rename failed", errno);
    remove(temporary);
    return -1;
}
