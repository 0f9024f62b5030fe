// The live side of the loop's seam: the system's sockets and clocks. A batch is stamped as it
// is received: each datagram's kernel stamp is moved onto the monotonic clock, so that timers,
// stalls and feeds judge it by when it arrived, not by when the loop got to it.
#pragma once

#include "app/loop.h"

// The system's calls. Both clocks are read once a batch: every line says when its datagram
// came.
loop_calls live_loop_calls(void);

// Stamps count datagrams received when the clocks read monotonic_us and utc_us: a datagram the
// kernel stamped arrived that much before, one it did not at the receive.
void stamp_batch(received_datagram *datagrams, int count, uint64_t monotonic_us, uint64_t utc_us);
