#include "base/error_text.h"

#include <string.h>
#include <winsock2.h>

int socket_last_error(void)
{
    return WSAGetLastError();
}

void socket_set_last_error(int code)
{
    WSASetLastError(code);
}

int socket_error_text(int code, char *text, size_t size)
{
    char *message = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                  nullptr, static_cast<DWORD>(code),
                                  MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                  reinterpret_cast<char *>(&message), 0, nullptr);
    if (length == 0 || message == nullptr || size == 0)
        return 0;
    // Kept as the system wrote it, line break included.
    strncpy(text, message, size - 1);
    text[size - 1] = '\0';
    LocalFree(message);
    return 1;
}
