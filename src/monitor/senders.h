// Per-sender state: a table keyed by the sender's address and port, of a fixed size so that a
// flood of forged senders cannot grow memory. The first SENDERS_MAX senders get an entry each;
// every later one shares one last entry.
#pragma once

#include <stdint.h>

#include "monitor/tracker.h"
#include "net/socket.h"

#define SENDERS_MAX 1024

// A sender's address and port packed for hashing and comparing: family, port, host bytes.
struct sender_key {
    unsigned char bytes[20];
};

struct sender_entry {
    sender_key key;
    endpoint address;     // the sender; for the shared entry, the first that did not fit
    bool shared;          // the entry of every sender past SENDERS_MAX
    bool have_last;       // whether last_seq holds a number yet
    int64_t last_seq;     // the sequence number of its previous datagram
    uint64_t last_utc_us; // when its last datagram came, where the run keeps it (--prom)
    tracker track;        // its window lives here: the table is made once, never per datagram
};

struct sender_table {
    sender_entry entries[SENDERS_MAX + 1];
    uint16_t slots[2 * SENDERS_MAX];  // open addressing: an entry's index + 1; 0 is empty
    uint32_t count;                   // entries in use, 0 to count - 1, the shared one included
    uint32_t last_found;              // the entry found last: a steady stream skips the hash
};

void senders_clear(sender_table *table);

// The sender's entry, made on its first datagram (its tracker judging in 32 bits with
// short_seq); the shared entry once the table is full.
sender_entry *find_sender(sender_table *table, const endpoint *from, bool short_seq);

// Every sender's counts as if the stream ended now, summed; the number of senders too.
track_counts senders_total(const sender_table *table, uint64_t *senders);
