#include "net/receiver.h"

#include <string.h>

#include "log/log.h"
#include "net/address.h"

int find_ipv4(const char *host, sockaddr_in *address, int *resolver_code)
{
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *found = nullptr;
    *resolver_code = getaddrinfo(host, nullptr, &hints, &found);
    if (*resolver_code != 0)
        return -1;
    int status = -1;
    for (addrinfo *entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addrlen <= sizeof *address) {
            memset(address, 0, sizeof *address);
            memcpy(address, entry->ai_addr, entry->ai_addrlen);
            status = 0;
            break;
        }
    }
    freeaddrinfo(found);
    return status;
}

int resolve_ipv4(const char *host, sockaddr_in *address)
{
    int code = 0;
    if (find_ipv4(host, address, &code) < 0) {
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

socket_handle open_receiver_socket(const sockaddr_in *bind_address)
{
    socket_handle s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET_HANDLE) {
        report_socket_error("socket failed");
        return INVALID_SOCKET_HANDLE;
    }
    int reuse = 1;
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&reuse),
                   sizeof reuse) != 0)
        return fail_and_close(s, "setsockopt failed");
    if (bind(s, reinterpret_cast<const sockaddr *>(bind_address), sizeof *bind_address) != 0)
        return fail_and_close(s, "bind failed");
    if (socket_prepare_receiver(s) != 0)
        return fail_and_close(s, "setsockopt failed");
    char address[IPV4_TEXT_MAX];
    format_ipv4(address, bind_address->sin_addr);
    log_line(stdout, "info", "Socket is bound to %s:%hu", address, ntohs(bind_address->sin_port));
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

int join_group(socket_handle s, const settings *options, const sockaddr_in *group_addr,
               sockaddr_in *source_addr)
{
    if (options->source_host == nullptr)
        return set_membership(s, IP_ADD_MEMBERSHIP, group_addr->sin_addr,
                              options->interface_addr, nullptr);
    if (resolve_ipv4(options->source_host, source_addr) < 0)
        return -1;
    if (!is_unicast_ipv4(source_addr->sin_addr)) {
        log_line(stderr, "error", "Invalid source address \"%s\": a source must be a unicast address",
                 options->source_host);
        return -1;
    }
    return set_membership(s, IP_ADD_SOURCE_MEMBERSHIP, group_addr->sin_addr,
                          options->interface_addr, &source_addr->sin_addr);
}

void leave_group(socket_handle s, const settings *options, const sockaddr_in *group_addr,
                 const sockaddr_in *source_addr)
{
    if (options->source_host == nullptr)
        set_membership(s, IP_DROP_MEMBERSHIP, group_addr->sin_addr, options->interface_addr,
                       nullptr);
    else
        set_membership(s, IP_DROP_SOURCE_MEMBERSHIP, group_addr->sin_addr,
                       options->interface_addr, &source_addr->sin_addr);
}
