#include "base/files.h"

#include <stdio.h>
#include <windows.h>

#include "base/log.h"

int replace_file(const char *temporary, const char *path)
{
    if (MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING))
        return 0;
    report_error_code("MoveFileEx failed", static_cast<int>(GetLastError()));
    remove(temporary);
    return -1;
}
