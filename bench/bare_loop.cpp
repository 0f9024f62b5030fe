// The floor of the tool's design, for the benchmark: one select and one recvfrom per datagram,
// nothing printed. Joins the group, counts datagrams until SIGINT, then prints the count.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

static volatile sig_atomic_t stop = 0;

static void on_stop(int)
{
    stop = 1;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: bare_loop <group> <port>\n");
        return 2;
    }
    signal(SIGINT, on_stop);
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    int reuse = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(atoi(argv[2])));
    if (bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        perror("bind");
        return 1;
    }
    ip_mreq request = {};
    request.imr_multiaddr.s_addr = inet_addr(argv[1]);
    if (setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) != 0) {
        perror("setsockopt");
        return 1;
    }
    static unsigned char buffer[65536];
    unsigned long long count = 0;
    while (!stop) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        if (select(s + 1, &readable, nullptr, nullptr, nullptr) < 0)
            break;
        sockaddr_in from;
        socklen_t from_length = sizeof from;
        if (recvfrom(s, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from),
                     &from_length) >= 0)
            count++;
    }
    printf("%llu\n", count);
    return 0;
}
