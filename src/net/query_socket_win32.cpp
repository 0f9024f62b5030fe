#include "net/query_socket.h"

#include <stdio.h>

#include "base/log.h"

// Windows hands raw IGMP to no socket of an ordinary program: queries are not heard there.
socket_handle open_query_socket(int)
{
    return INVALID_SOCKET_HANDLE;
}

int receive_query(socket_handle, unsigned char *, size_t, query_reading *, uint32_t *)
{
    return RECEIVE_WOULD_BLOCK;
}

void interface_name_of(uint32_t index, char *name)
{
    snprintf(name, INTERFACE_NAME_MAX, "%u", index);
}
