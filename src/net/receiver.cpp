#include "net/receiver.h"

#include <stdlib.h>
#include <string.h>

#include "base/error_text.h"
#include "base/log.h"
#include "net/address.h"

static void report_resolver_failure(const char *host, int code)
{
    if (code != 0)
        log_line(stderr, "error", "Failed to resolve address \"%s\": (%d) %s", host, code,
                 gai_strerror(code));
}

int resolve_host(const char *host, int family, endpoint *address)
{
    int code = 0;
    if (find_host(host, family, address, &code) < 0) {
        report_resolver_failure(host, code);
        return -1;
    }
    return 0;
}

// An IPv6 group with a zone: returns 1 when the host has one and was resolved, 0 when it has
// none, -1 after an error line.
static int resolve_zoned_group(const char *host, endpoint *address)
{
    int zoned = find_zoned_group(host, address);
    if (zoned < 0)
        log_line(stderr, "error", "Unknown interface \"%s\" in the zone of \"%s\"",
                 strchr(host, '%') + 1, host);
    return zoned;
}

int resolve_group(const char *host, endpoint *address)
{
    int zoned = resolve_zoned_group(host, address);
    if (zoned != 0)
        return zoned < 0 ? -1 : 0;
    int code = 0;
    if (find_group(host, address, &code) < 0) {
        report_resolver_failure(host, code);
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
    int on = 1;
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&on),
                   sizeof on) != 0)
        return fail_and_close(s, "setsockopt failed");
    // An IPv6 socket takes IPv6 alone: IPv4 datagrams to the port are not the group's.
    if (family == AF_INET6 && setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY,
                                         reinterpret_cast<const char *>(&on), sizeof on) != 0)
        return fail_and_close(s, "setsockopt failed");
    if (bind(s, reinterpret_cast<const sockaddr *>(&bind_address->storage),
             endpoint_length(bind_address)) != 0)
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

// The protocol-independent request, for IPv6 and for an interface given by index.
static int set_group_membership(socket_handle s, const membership_request *request, bool join)
{
    int level = request->group.storage.ss_family == AF_INET6 ? IPPROTO_IPV6 : IPPROTO_IP;
    int status;
    if (request->source_specific) {
        group_source_req source_request;
        memset(&source_request, 0, sizeof source_request);
        source_request.gsr_interface = request->interface_index;
        memcpy(&source_request.gsr_group, &request->group.storage, sizeof request->group.storage);
        memcpy(&source_request.gsr_source, &request->source.storage,
               sizeof request->source.storage);
        status = setsockopt(s, level, join ? MCAST_JOIN_SOURCE_GROUP : MCAST_LEAVE_SOURCE_GROUP,
                            reinterpret_cast<const char *>(&source_request), sizeof source_request);
    } else {
        group_req group_request;
        memset(&group_request, 0, sizeof group_request);
        group_request.gr_interface = request->interface_index;
        memcpy(&group_request.gr_group, &request->group.storage, sizeof request->group.storage);
        status = setsockopt(s, level, join ? MCAST_JOIN_GROUP : MCAST_LEAVE_GROUP,
                            reinterpret_cast<const char *>(&group_request), sizeof group_request);
    }
    if (status != 0) {
        report_socket_error("setsockopt failed");
        return -1;
    }
    return 0;
}

static bool uses_group_requests(const membership_request *request)
{
    return request->group.storage.ss_family == AF_INET6 || request->interface_index != 0;
}

// The IPv6 request of RFC 3493, any-source only.
static int set_ipv6_membership(socket_handle s, const membership_request *request, bool join)
{
    ipv6_mreq ipv6_request;
    memset(&ipv6_request, 0, sizeof ipv6_request);
    ipv6_request.ipv6mr_multiaddr =
        reinterpret_cast<const sockaddr_in6 *>(&request->group.storage)->sin6_addr;
    ipv6_request.ipv6mr_interface = request->interface_index;
    return setsockopt(s, IPPROTO_IPV6, join ? IPV6_JOIN_GROUP : IPV6_LEAVE_GROUP,
                      reinterpret_cast<const char *>(&ipv6_request), sizeof ipv6_request);
}

// An any-source IPv6 join whose protocol-independent request the system does not implement
// is made with the IPv6 request instead. Returns 0, or -1 after an error line.
static int join_ipv6_where_unimplemented(socket_handle s, membership_request *request)
{
    group_req group_request;
    memset(&group_request, 0, sizeof group_request);
    group_request.gr_interface = request->interface_index;
    memcpy(&group_request.gr_group, &request->group.storage, sizeof request->group.storage);
    if (setsockopt(s, IPPROTO_IPV6, MCAST_JOIN_GROUP,
                   reinterpret_cast<const char *>(&group_request), sizeof group_request) == 0)
        return 0;
    if (!is_unimplemented_option(socket_last_error()) ||
        set_ipv6_membership(s, request, true) != 0) {
        report_socket_error("setsockopt failed");
        return -1;
    }
    request->joined_by_ipv6_request = true;
    return 0;
}

int join_group(socket_handle s, membership_request *request)
{
    request->joined_by_ipv6_request = false;
    if (request->group.storage.ss_family == AF_INET6 && !request->source_specific)
        return join_ipv6_where_unimplemented(s, request);
    if (uses_group_requests(request))
        return set_group_membership(s, request, true);
    in_addr group = ipv4_of(&request->group);
    if (!request->source_specific)
        return set_membership(s, IP_ADD_MEMBERSHIP, group, request->interface_addr, nullptr);
    in_addr source = ipv4_of(&request->source);
    return set_membership(s, IP_ADD_SOURCE_MEMBERSHIP, group, request->interface_addr, &source);
}

void leave_group(socket_handle s, const membership_request *request)
{
    if (request->joined_by_ipv6_request) {
        if (set_ipv6_membership(s, request, false) != 0)
            report_socket_error("setsockopt failed");
        return;
    }
    if (uses_group_requests(request)) {
        set_group_membership(s, request, false);
        return;
    }
    in_addr group = ipv4_of(&request->group);
    if (!request->source_specific) {
        set_membership(s, IP_DROP_MEMBERSHIP, group, request->interface_addr, nullptr);
        return;
    }
    in_addr source = ipv4_of(&request->source);
    set_membership(s, IP_DROP_SOURCE_MEMBERSHIP, group, request->interface_addr, &source);
}
