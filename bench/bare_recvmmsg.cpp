// The floor of a recvmmsg design, for the benchmark: one call waits for a datagram and takes up
// to 64 queued behind it, nothing printed. Joins the group, counts datagrams until SIGINT, then
// prints the count.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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
        fprintf(stderr, "usage: bare_recvmmsg <group> <port>\n");
        return 2;
    }
    // Without SA_RESTART, which signal() sets: the blocked receive must end on SIGINT.
    struct sigaction action = {};
    action.sa_handler = on_stop;
    sigaction(SIGINT, &action, nullptr);
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
    static unsigned char buffers[64][2048];
    mmsghdr headers[64];
    iovec vectors[64];
    unsigned long long count = 0;
    while (!stop) {
        memset(headers, 0, sizeof headers);
        for (int i = 0; i < 64; i++) {
            vectors[i] = {buffers[i], sizeof buffers[i]};
            headers[i].msg_hdr.msg_iov = &vectors[i];
            headers[i].msg_hdr.msg_iovlen = 1;
        }
        int received = recvmmsg(s, headers, 64, MSG_WAITFORONE, nullptr);
        if (received > 0)
            count += static_cast<unsigned>(received);
    }
    printf("%llu\n", count);
    return 0;
}
