// The formatting path alone, for counting instructions per datagram line under callgrind:
// hands N datagram events to the text sink exactly as the run does, which writes them to
// standard output.
#include <stdio.h>
#include <stdlib.h>

#include "base/clock.h"
#include "net/address.h"
#include "output/sink.h"

int main(int argc, char **argv)
{
    long count = argc > 1 ? atol(argv[1]) : 1000000;
    setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    endpoint group;
    endpoint sender;
    int code;
    if (find_host("239.1.2.3", AF_INET, &group, &code) < 0 ||
        find_host("10.20.30.40", AF_INET, &sender, &code) < 0)
        return 1;
    endpoint_set_port(&group, 5000);
    endpoint_set_port(&sender, 40000);
    text_sink text;
    seq_layout layout = classic_layout(false);
    stream_label label = {nullptr, nullptr, &layout};
    text_sink_start(&text, false);
    // The run stamps a batch of datagrams (up to 64) with one reading of the clock.
    event_head head = {&label, 0};
    for (long i = 0; i < count; i++) {
        if (i % 64 == 0)
            head.at_utc_us = clock_utc_us();
        datagram_event event = {&sender, &group, 64, 1000000000 + i, 1, SEQ_NEXT, false};
        text.calls.datagram(&text.calls, &head, &event);
    }
    return 0;
}
