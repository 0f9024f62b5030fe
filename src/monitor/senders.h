// Per-sender state: one table for the whole process, keyed by the stream and the sender's
// address and port, of a size fixed at start so that a flood of forged senders cannot grow
// memory: SENDERS_MAX entries and SENDERS_PER_STREAM more for each stream past the first, with
// SENDERS_PER_STREAM kept for each stream until its senders take them, so that every stream's
// first SENDERS_PER_STREAM senders have entries of their own. Once the rest is taken, a
// stream's new sender takes the entry of one idle for SENDER_IDLE_US (whose counts stay in its
// stream's total, and never one of a stream's kept ones), or else shares one last entry of its
// stream, which counts its datagrams without judging their order: the numbers of many senders
// interleaved say nothing.
#pragma once

#include <stdint.h>

#include "monitor/histogram.h"
#include "monitor/tracker.h"
#include "net/endpoint.h"

#define SENDERS_MAX 1024
// Senders each stream has judged on entries of its own however many other streams have: a
// source and its redundant copies, with a stray one beside them.
#define SENDERS_PER_STREAM 4
static_assert(SENDERS_PER_STREAM <= SENDERS_MAX, "the first stream's kept entries fit the table");
#define SENDER_IDLE_US 60000000u
// A full table is searched for an idle entry at most this often, so a flood of new senders
// costs a search a second, not one a datagram.
#define SENDER_SEARCH_PERIOD_US 1000000u

// A sender's address and port packed for hashing and comparing: family, port, host bytes, and
// the session where the layout names one (MoldUDP64): a new session is a new sender.
struct sender_key {
    unsigned char bytes[20 + SESSION_BYTES + 2];  // the last two: the stream
};

struct sender_entry {
    sender_key key;
    int stream;           // its place among the run's streams
    endpoint address;     // the sender; for the shared entry, the first that did not fit
    bool shared;          // the entry of every sender past SENDERS_MAX
    bool have_last;       // whether last_seq holds a number yet
    int64_t last_seq;     // the sequence number of its previous datagram
    int64_t next_seq;     // in a given layout, the number its previous datagram made next
    bool have_session;
    unsigned char session[SESSION_BYTES];
    uint64_t last_utc_us; // when its last datagram came, where the run keeps it (--prom, and
                          // with arrivals stamped, the kernel's time of arrival)
    uint64_t last_us;     // the same on the monotonic clock, to find an idle entry
    tracker track;        // its window lives here: the table is made once, never per datagram
    delay_record delays;  // from its clock, with --sent-at
};

// What the table keeps for one stream beyond its entries.
struct sender_stream {
    uint32_t last_found;              // the entry found last: a steady stream skips the hash
    bool shared_used;                 // its shared entry holds senders past the table's room
    uint32_t entries;                 // its own entries in use
    uint64_t retired;                 // its senders whose entries were taken over
    track_counts retired_counts;      // theirs, as they were then
};

struct sender_table {
    sender_entry *entries;            // capacity of them
    uint32_t capacity;                // SENDERS_MAX + SENDERS_PER_STREAM * (stream_count - 1)
    uint32_t *slots;                  // open addressing: an entry's index + 1; 0 is empty
    uint32_t slot_mask;               // slots - 1: a power of two, at least twice the entries
    uint32_t count;                   // entries in use, 0 to count - 1
    uint32_t kept;                    // entries kept free for streams with fewer than
                                      // SENDERS_PER_STREAM: count + kept <= capacity
    uint64_t idle_us;                 // how long unheard makes an entry free to take
    uint64_t searched_us;             // when a full table was last searched for an idle entry
    int stream_count;
    sender_stream *streams;           // one each
    sender_entry *shared;             // one each, made when first needed
};

// Makes the table empty for stream_count streams (1 or more; the entries and their records
// allocated here); an entry is taken over after idle_us unheard (SENDER_IDLE_US). Returns 0,
// or -1 when memory ran out.
int senders_open(sender_table *table, uint64_t idle_us, int stream_count);
void senders_close(sender_table *table);

// The sender's entry for a datagram of the stream that came at now_us (monotonic), made on its
// first datagram (its tracker judging by rules); once the table has no room for the stream, an
// idle sender's entry or the stream's shared one. session: the datagram's SESSION_BYTES of session, or null.
sender_entry *find_sender(sender_table *table, int stream, const endpoint *from,
                          const unsigned char *session, const seq_rules *rules, uint64_t now_us);

// The stream's senders in the order they came, its shared entry last: *cursor starts at 0.
// Returns null after the last.
const sender_entry *next_sender(const sender_table *table, int stream, uint32_t *cursor);

// How many senders the run has heard, and whether more than that shared the last entry.
struct sender_census {
    uint64_t senders;
    bool more;
};

// Every sender's counts of the stream as if it ended now, summed, those taken over included.
track_counts senders_total(const sender_table *table, int stream, sender_census *census);
