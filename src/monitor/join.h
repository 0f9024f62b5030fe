// A stream's join and what followed it: the time from just before the join call to the first
// datagram after it, on the monotonic clock. A join made again starts the timing again.
#pragma once

#include <stdint.h>

struct join_watch {
    bool timed;            // a join was made (a capture's streams have none)
    bool heard;            // a datagram came since the last join
    uint64_t joined_us;    // just before the join call
    uint64_t latency_us;   // where heard: from joined_us to the first datagram
    uint64_t rejoins;      // joins made again after a silence (--rejoin), over the run
};

// Notes a join about to be made at at_us; the rejoins counted so far stay.
void join_started(join_watch *watch, uint64_t at_us);

// Notes a datagram that arrived at at_us: true when it is the first since the join, whose
// latency is then set. One that seems to have come before the join (the clock's stamp of a
// datagram queued for another member of the host) counts as at the join.
bool join_heard(join_watch *watch, uint64_t at_us);

// When a stream silent since the later of its join and its last datagram (last_arrival_us)
// has been so for silence_us, and is to be left and joined again.
uint64_t rejoin_due_us(const join_watch *watch, uint64_t last_arrival_us, uint64_t silence_us);
