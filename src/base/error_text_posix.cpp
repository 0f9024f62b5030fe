#include "base/error_text.h"

#include <errno.h>
#include <string.h>

int socket_last_error(void)
{
    return errno;
}

void socket_set_last_error(int code)
{
    errno = code;
}

int socket_error_text(int code, char *text, size_t size)
{
    const char *message = strerror(code);
    if (message == nullptr || size == 0)
        return 0;
    strncpy(text, message, size - 1);
    text[size - 1] = '\0';
    return 1;
}
