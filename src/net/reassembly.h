// IP fragments of UDP datagrams put back together as the receiving kernel does, so that a
// capture counts what a live run would have received: a bounded table of datagrams in progress,
// each given up after a timeout, and overlapping fragments refused. Pure: time is given.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "net/frame.h"

// Datagrams in progress at once; a fragment of another one is dropped while the table is full
// (the kernel drops fragments past its memory bound the same way).
#define REASSEMBLY_DATAGRAMS_MAX 64
// A datagram not whole this long after its first fragment came is given up (Linux's
// ipfrag_time and ip6frag_time).
#define REASSEMBLY_TIMEOUT_US 30000000
// The fragments one datagram may have: more is an attack, not a path's MTU, and is given up.
#define REASSEMBLY_FRAGMENTS_MAX 128
// The largest datagram an IP header can describe, from the UDP header on.
#define REASSEMBLY_DATAGRAM_MAX_BYTES 65535

struct reassembly_entry {
    bool failed;                    // refused (an overlap, too many fragments): to be given up
    uint64_t first_us;
    endpoint source;                // the addresses, ports aside
    endpoint destination;
    uint32_t id;
    uint32_t total_bytes;           // known once the last fragment came; 0 before
    uint32_t received_bytes;
    uint32_t captured_end;          // where the capture first cut a fragment short
    int fragment_count;
    uint32_t starts[REASSEMBLY_FRAGMENTS_MAX];
    uint32_t ends[REASSEMBLY_FRAGMENTS_MAX];
    unsigned char data[REASSEMBLY_DATAGRAM_MAX_BYTES];
};

// The flags apart from the entries, so that a capture without fragments touches none of them.
struct reassembly {
    int used_count;
    bool used[REASSEMBLY_DATAGRAMS_MAX];
    reassembly_entry entries[REASSEMBLY_DATAGRAMS_MAX];
};

void reassembly_reset(reassembly *table);

// Takes a fragment (a FRAME_FRAGMENT of decode_frame) that came at now_us. Returns 1 when it
// made its datagram whole: *whole is decoded as decode_frame decodes a datagram (its payload
// in the table, valid until the next call). Returns 0 while the datagram waits for more, or
// when the fragment was dropped.
int reassembly_add(reassembly *table, const udp_frame *fragment, uint64_t now_us,
                   udp_frame *whole);

// Gives up one datagram that cannot be made whole by now_us (timed out or refused; every
// one left at UINT64_MAX). Returns 1 with *lost addressed where its first fragment came (so
// that it can be counted on its stream), 1 with lost->addressed false where not, or 0 when
// none is left to give up.
int reassembly_give_up(reassembly *table, uint64_t now_us, udp_frame *lost);
