// The system's words for a failure: the socket library's last error code and the English text
// for a code, which every error line of a failed call is made from.
#pragma once

#include <stddef.h>

// The socket library's last error code (errno, or WSAGetLastError).
int socket_last_error(void);

// Sets the socket library's last error code, as a report restores it after writing its line.
void socket_set_last_error(int code);

// The system's English text for an error code, copied into text (truncated to size). Returns
// 1 when the system had a text, 0 when it had none.
int socket_error_text(int code, char *text, size_t size);
