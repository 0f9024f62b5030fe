#include "net/receiver.h"

#include <string.h>

#include "base/log.h"
#include "net/address.h"

int resolve_host(const char *host, int family, endpoint *address)
{
    int code = 0;
    if (find_host(host, family, address, &code) < 0) {
        if (code != 0)
            log_line(stderr, "error", "Failed to resolve address \"%s\": (%d) %s", host, code,
                     gai_strerror(code));
        return -1;
    }
    return 0;
}

// Closes s after a failed call, with the call's error line; returns the invalid handle.
static socket_handle fail_and_close(socket_handle s, const char *what)
{
    report_socket_error(what);
    socket_close(s);
    return INVALID_SOCKET_HANDLE;
}

socket_handle open_receiver_socket(const endpoint *bind_address)
{
    int family = bind_address->storage.ss_family;
    socket_handle s = socket(family, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET_HANDLE) {
        report_socket_error("socket failed");
        return INVALID_SOCKET_HANDLE;
    }
    int reuse = 1;
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&reuse),
                   sizeof reuse) != 0)
        return fail_and_close(s, "setsockopt failed");
    socklen_t length = family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (bind(s, reinterpret_cast<const sockaddr *>(&bind_address->storage), length) != 0)
        return fail_and_close(s, "bind failed");
    if (socket_prepare_receiver(s, family) != 0)
        return fail_and_close(s, "setsockopt failed");
    return s;
}

int set_membership(socket_handle s, int option, in_addr group, in_addr interface_addr,
                   const in_addr *source)
{
    int status;
    // The records are filled by field name: their field order differs between platforms.
    if (source != nullptr) {
        ip_mreq_source request;
        memset(&request, 0, sizeof request);
        request.imr_multiaddr = group;
        request.imr_sourceaddr = *source;
        request.imr_interface = interface_addr;
        status = setsockopt(s, IPPROTO_IP, option, reinterpret_cast<const char *>(&request),
                            sizeof request);
    } else {
        ip_mreq request;
        memset(&request, 0, sizeof request);
        request.imr_multiaddr = group;
        request.imr_interface = interface_addr;
        status = setsockopt(s, IPPROTO_IP, option, reinterpret_cast<const char *>(&request),
                            sizeof request);
    }
    if (status != 0) {
        report_socket_error("setsockopt failed");
        return -1;
    }
    return 0;
}

static in_addr ipv4_of(const endpoint *address)
{
    return reinterpret_cast<const sockaddr_in *>(&address->storage)->sin_addr;
}

int join_group(socket_handle s, const membership_request *request)
{
    in_addr group = ipv4_of(&request->group);
    if (!request->source_specific)
        return set_membership(s, IP_ADD_MEMBERSHIP, group, request->interface_addr, nullptr);
    in_addr source = ipv4_of(&request->source);
    return set_membership(s, IP_ADD_SOURCE_MEMBERSHIP, group, request->interface_addr, &source);
}

void leave_group(socket_handle s, const membership_request *request)
{
    in_addr group = ipv4_of(&request->group);
    if (!request->source_specific) {
        set_membership(s, IP_DROP_MEMBERSHIP, group, request->interface_addr, nullptr);
        return;
    }
    in_addr source = ipv4_of(&request->source);
    set_membership(s, IP_DROP_SOURCE_MEMBERSHIP, group, request->interface_addr, &source);
}
