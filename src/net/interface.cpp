#include "net/interface.h"

// Winsock's headers must come before netioapi.h, which declares the look-ups there.
#include "net/socket.h"
#ifdef _WIN32
#include <netioapi.h>
#else
#include <net/if.h>
#endif

uint32_t find_interface(const char *name)
{
    return if_nametoindex(name);
}

bool interface_index_exists(uint32_t index)
{
    char name[IF_NAMESIZE];
    return if_indextoname(index, name) != nullptr;
}
