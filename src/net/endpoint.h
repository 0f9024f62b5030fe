// A host and a port of any family, as the socket library lays them out (port in network byte
// order): its own header, so that what only keeps addresses (the sender table) needs no more
// of the socket library than the storage's layout. net/address.h reads and writes them.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

struct endpoint {
    sockaddr_storage storage;
};
