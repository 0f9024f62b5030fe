// The live side of the loop's seam: the system's sockets and clocks. A batch is stamped as it
// is received: each datagram's kernel stamp is moved onto the monotonic clock, so that timers,
// stalls and feeds judge it by when it arrived, not by when the loop got to it.
#pragma once

#include "app/loop.h"

struct live_side {
    bool reads_utc;          // the calendar clock is read once a batch (stamps, metrics)
};

// The system's calls, with side as their context.
loop_calls live_loop_calls(live_side *side);

// Stamps count datagrams received when the clocks read monotonic_us and utc_us (0: not read):
// a datagram the kernel stamped arrived that much before, one it did not at the receive.
void stamp_batch(received_datagram *datagrams, int count, uint64_t monotonic_us, uint64_t utc_us);
