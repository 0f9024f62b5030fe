// How long the receive loop lets a busy queue fill before it takes it, as a pure decision from
// what queued since the queue was last empty and how long that took: fewer wake-ups on a busy
// stream, never so long that the queue could overflow or a line be held back long.
#pragma once

#include <stdint.h>

struct nap_rule {
    int64_t most_us;       // never longer: lines are held back at most about this long
    int batch_max;         // the most one receive takes
    uint64_t room_bytes;   // what the queue may fill of the receive buffer while the loop naps
};

// The system charges each queued datagram this much beyond its payload (Linux: the socket
// buffer's bookkeeping, 768 bytes for a small one on lo), rounded up for larger allocations.
#define QUEUED_OVERHEAD_BYTES 1024

// The nap once a queue is found empty, after count datagrams, bytes of payload in all, queued
// over interval_us since it was last empty: long enough that about three quarters of a batch
// queue at the rate they came, no longer than the rule's room and most_us allow. 0 (do not
// nap: wait) after a single datagram, which shows a quiet stream.
int64_t nap_after_drain_us(const nap_rule *rule, int count, uint64_t bytes, int64_t interval_us);
