// The formatting path alone, for counting instructions per datagram line under callgrind:
// builds N datagram lines exactly as the run does and writes them to standard output.
#include <stdio.h>
#include <stdlib.h>

#include "app/datagram_line.h"
#include "log/log.h"

int main(int argc, char **argv)
{
    long count = argc > 1 ? atol(argv[1]) : 1000000;
    setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    sockaddr_in group = {};
    group.sin_addr.s_addr = inet_addr("239.1.2.3");
    group.sin_port = htons(5000);
    sockaddr_in sender = {};
    sender.sin_addr.s_addr = inet_addr("10.20.30.40");
    sender.sin_port = htons(40000);
    datagram_parts parts;
    datagram_parts_start(&parts, &group);
    for (long i = 0; i < count; i++) {
        char line[256];
        char *end = log_begin(line, "info");
        end = format_datagram_from(end, &parts, &sender, 64, 1000000000 + i);
        log_end(stdout, line, end);
    }
    return 0;
}
