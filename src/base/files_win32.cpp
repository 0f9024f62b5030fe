#include "base/files.h"

#include <stdio.h>
#include <windows.h>

#include "base/log.h"

int replace_file(const char *temporary, const char *path)
{
    if (MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING))
        return 0;
    int code = static_cast<int>(GetLastError());
    char what[2 * 4096 + 64];
    snprintf(what, sizeof what, "Failed to rename \"%s\" to \"%s\"", temporary, path);
    report_error_code(what, code);
    remove(temporary);
    return -1;
}
