// A stream's join and what followed it: the time from just before the join call to the first
// datagram after it, on the monotonic clock. A join made again starts the timing again.
#pragma once

#include <stdint.h>

struct join_watch {
    bool timed;            // a join was made (a capture's streams have none)
    bool heard;            // a datagram came since the last join
    uint64_t joined_us;    // just before the join call
    uint64_t latency_us;   // where heard: from joined_us to the first datagram
};

// Notes a join about to be made at at_us.
void join_started(join_watch *watch, uint64_t at_us);

// Notes a datagram that arrived at at_us: true when it is the first since the join, whose
// latency is then set. One that seems to have come before the join (the clock's stamp of a
// datagram queued for another member of the host) counts as at the join.
bool join_heard(join_watch *watch, uint64_t at_us);
