#include "net/query_socket.h"

#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/icmp6.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "base/error_text.h"
#include "base/log.h"

static_assert(INTERFACE_NAME_MAX >= IF_NAMESIZE, "an interface's name fits");

// Room for the packet's interface: IP_PKTINFO or IPV6_PKTINFO.
#define QUERY_CONTROL_BYTES 64

// Every kind of ICMPv6 message is blocked but the MLD query, so that neighbour discovery and
// the hosts' own reports never wake the loop.
static int pass_mld_queries_only(socket_handle s)
{
    icmp6_filter filter;
    ICMP6_FILTER_SETBLOCKALL(&filter);
    ICMP6_FILTER_SETPASS(MLD_LISTENER_QUERY, &filter);
    return setsockopt(s, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter);
}

static int ready_query_socket(socket_handle s, int family)
{
    int on = 1;
    if (fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK) != 0)
        return -1;
    if (family == AF_INET6)
        return pass_mld_queries_only(s) != 0 ||
                       setsockopt(s, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on) != 0
                   ? -1
                   : 0;
    return setsockopt(s, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
}

socket_handle open_query_socket(int family)
{
    const char *kind = family == AF_INET6 ? "ICMPv6" : "IGMP";
    socket_handle s = socket(family, SOCK_RAW, family == AF_INET6 ? int(IPPROTO_ICMPV6) : int(IPPROTO_IGMP));
    if (s < 0) {
        int code = errno;
        char text[256];
        if (socket_error_text(code, text, sizeof text) == 0)
            snprintf(text, sizeof text, "unknown error");
        log_line(stderr, "error", "Multicast queries are not heard: a raw %s socket %s "
                                  "(socket failed: (%d) %s)", kind,
                 code == EPERM || code == EACCES ? "needs CAP_NET_RAW" : "cannot be opened", code,
                 text);
        return INVALID_SOCKET_HANDLE;
    }
    if (ready_query_socket(s, family) < 0) {
        report_socket_error("setsockopt failed");
        close(s);
        return INVALID_SOCKET_HANDLE;
    }
    return s;
}

static uint32_t interface_of(msghdr *header)
{
    for (cmsghdr *c = CMSG_FIRSTHDR(header); c != nullptr; c = CMSG_NXTHDR(header, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            memcpy(&info, CMSG_DATA(c), sizeof info);
            return static_cast<uint32_t>(info.ipi_ifindex);
        }
        if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
            in6_pktinfo info;
            memcpy(&info, CMSG_DATA(c), sizeof info);
            return info.ipi6_ifindex;
        }
    }
    return 0;
}

int receive_query(socket_handle s, unsigned char *buffer, size_t size, query_reading *reading,
                  uint32_t *interface_index)
{
    sockaddr_storage from;
    iovec vector = {buffer, size};
    alignas(cmsghdr) unsigned char control[QUERY_CONTROL_BYTES];
    msghdr header = {};
    header.msg_name = &from;
    header.msg_namelen = sizeof from;
    header.msg_iov = &vector;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    ssize_t received = recvmsg(s, &header, MSG_DONTWAIT);
    if (received < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? RECEIVE_WOULD_BLOCK : -1;
    *interface_index = interface_of(&header);
    size_t length = static_cast<size_t>(received);
    if (from.ss_family != AF_INET6)
        return read_igmp_query(buffer, length, reading);
    const sockaddr_in6 *source = reinterpret_cast<const sockaddr_in6 *>(&from);
    return read_mld_query(buffer, length, source->sin6_addr.s6_addr, reading);
}

void interface_name_of(uint32_t index, char *name)
{
    if (if_indextoname(index, name) == nullptr)
        snprintf(name, INTERFACE_NAME_MAX, "%u", index);
}
