#include "monitor/senders.h"

#include <stdlib.h>
#include <string.h>

#include "base/hash.h"
// The address families' layouts, to pack a sender's key.
#include "net/socket.h"

static sender_key key_of(int stream, const endpoint *from, const unsigned char *session)
{
    sender_key key;
    memset(&key, 0, sizeof key);
    uint16_t family = from->storage.ss_family;
    memcpy(key.bytes, &family, 2);
    if (family == AF_INET6) {
        const sockaddr_in6 *v6 = reinterpret_cast<const sockaddr_in6 *>(&from->storage);
        memcpy(key.bytes + 2, &v6->sin6_port, 2);
        memcpy(key.bytes + 4, &v6->sin6_addr, 16);
    } else {
        const sockaddr_in *v4 = reinterpret_cast<const sockaddr_in *>(&from->storage);
        memcpy(key.bytes + 2, &v4->sin_port, 2);
        memcpy(key.bytes + 4, &v4->sin_addr, 4);
    }
    if (session != nullptr)
        memcpy(key.bytes + 20, session, SESSION_BYTES);
    uint16_t place = static_cast<uint16_t>(stream);
    memcpy(key.bytes + 20 + SESSION_BYTES, &place, 2);
    return key;
}

static uint32_t slot_of(const sender_key *key)
{
    return hash_bytes(key->bytes, sizeof key->bytes);
}

int senders_open(sender_table *table, uint64_t idle_us, int stream_count)
{
    table->capacity = SENDERS_MAX + SENDERS_PER_STREAM * (uint32_t(stream_count) - 1);
    uint32_t slot_count = 1;
    while (slot_count < 2 * table->capacity)
        slot_count *= 2;
    table->slot_mask = slot_count - 1;
    table->count = 0;
    table->kept = SENDERS_PER_STREAM * uint32_t(stream_count);
    table->idle_us = idle_us;
    table->searched_us = 0;
    table->stream_count = stream_count;
    // Calloc: an entry's pages (its tracker's window) cost nothing until a sender needs it.
    table->entries = static_cast<sender_entry *>(calloc(table->capacity, sizeof *table->entries));
    table->slots = static_cast<uint32_t *>(calloc(slot_count, sizeof *table->slots));
    table->streams = static_cast<sender_stream *>(calloc(size_t(stream_count), sizeof *table->streams));
    table->shared = static_cast<sender_entry *>(calloc(size_t(stream_count), sizeof *table->shared));
    if (table->entries == nullptr || table->slots == nullptr || table->streams == nullptr ||
        table->shared == nullptr) {
        senders_close(table);
        return -1;
    }
    return 0;
}

void senders_close(sender_table *table)
{
    free(table->entries);
    free(table->slots);
    free(table->streams);
    free(table->shared);
    table->entries = nullptr;
    table->slots = nullptr;
    table->streams = nullptr;
    table->shared = nullptr;
}

// The slot that holds the key, or the empty slot where it would go.
static uint32_t find_slot(const sender_table *table, const sender_key *key)
{
    uint32_t slot = slot_of(key) & table->slot_mask;
    while (table->slots[slot] != 0) {
        uint32_t index = table->slots[slot] - 1u;
        if (memcmp(&table->entries[index].key, key, sizeof *key) == 0)
            return slot;
        slot = (slot + 1) & table->slot_mask;
    }
    return slot;
}

// Empties a slot of the open addressing, moving back the keys after it that would otherwise
// no longer be found from their home slot.
static void free_slot(sender_table *table, uint32_t slot)
{
    const uint32_t mask = table->slot_mask;
    uint32_t hole = slot;
    for (uint32_t next = (hole + 1) & mask; table->slots[next] != 0; next = (next + 1) & mask) {
        uint32_t home = slot_of(&table->entries[table->slots[next] - 1u].key) & mask;
        // The key may move to the hole when its home is not between the hole and it.
        if (((next - home) & mask) >= ((next - hole) & mask)) {
            table->slots[hole] = table->slots[next];
            hole = next;
        }
    }
    table->slots[hole] = 0;
}

// In a table with no room, the entry heard from least recently among those past their stream's
// kept ones, if it was idle long enough; its sender's counts go to the retired ones and its key
// leaves the hash. Returns its index, or capacity when none is free.
static uint32_t take_idle_entry(sender_table *table, uint64_t now_us)
{
    if (table->searched_us != 0 && now_us - table->searched_us < SENDER_SEARCH_PERIOD_US)
        return table->capacity;
    table->searched_us = now_us;
    uint32_t oldest = table->capacity;
    for (uint32_t i = 0; i < table->count; i++)
        if (table->streams[table->entries[i].stream].entries > SENDERS_PER_STREAM &&
            (oldest == table->capacity || table->entries[i].last_us < table->entries[oldest].last_us))
            oldest = i;
    if (oldest == table->capacity || now_us - table->entries[oldest].last_us < table->idle_us)
        return table->capacity;
    sender_entry *entry = &table->entries[oldest];
    track_counts counts = track_snapshot(&entry->track);
    sender_stream *stream = &table->streams[entry->stream];
    add_counts(&stream->retired_counts, &counts);
    stream->retired++;
    stream->entries--;
    free_slot(table, find_slot(table, &entry->key));
    table->count--;
    return oldest;
}

// Where a stream's new sender goes: one kept for the stream, or the next free entry where that
// leaves those kept for the others, else an idle one; capacity when there is none. Entries in
// use are 0 to count - 1: an idle entry is taken back at once.
static uint32_t room_for(sender_table *table, const sender_stream *own, uint64_t now_us)
{
    if (own->entries < SENDERS_PER_STREAM || table->count + table->kept < table->capacity)
        return table->count;
    return take_idle_entry(table, now_us);
}

static sender_entry *start_entry(sender_entry *entry, int stream, bool shared,
                                 const sender_key *key, const endpoint *from,
                                 const unsigned char *session, const seq_rules *rules)
{
    entry->key = *key;
    entry->stream = stream;
    entry->address = *from;
    entry->shared = shared;
    entry->have_last = false;
    entry->last_utc_us = 0;
    entry->have_session = session != nullptr;
    if (session != nullptr)
        memcpy(entry->session, session, SESSION_BYTES);
    track_start(&entry->track, rules, !shared && !rules->unnumbered);
    delay_clear(&entry->delays);
    return entry;
}

sender_entry *find_sender(sender_table *table, int stream, const endpoint *from,
                          const unsigned char *session, const seq_rules *rules, uint64_t now_us)
{
    sender_key key = key_of(stream, from, session);
    sender_stream *own = &table->streams[stream];
    const uint32_t none = table->capacity;
    sender_entry *last = own->last_found == none ? &table->shared[stream]
                                                  : &table->entries[own->last_found];
    if (table->count > 0 && memcmp(&last->key, &key, sizeof key) == 0) {
        last->last_us = now_us;
        return last;
    }
    uint32_t slot = find_slot(table, &key);
    uint32_t index = none;
    if (table->slots[slot] != 0) {
        index = table->slots[slot] - 1u;
    } else {
        // A sender not seen before: its own entry while there is room or one is idle, else
        // the stream's shared one.
        index = room_for(table, own, now_us);
        if (index < none) {
            slot = find_slot(table, &key);
            table->slots[slot] = index + 1;
            start_entry(&table->entries[index], stream, false, &key, from, session, rules);
            table->count++;
            if (own->entries++ < SENDERS_PER_STREAM)
                table->kept--;
        } else if (!own->shared_used) {
            own->shared_used = true;
            start_entry(&table->shared[stream], stream, true, &key, from, session, rules);
        }
    }
    own->last_found = index;
    sender_entry *entry = index == none ? &table->shared[stream] : &table->entries[index];
    entry->last_us = now_us;
    return entry;
}

const sender_entry *next_sender(const sender_table *table, int stream, uint32_t *cursor)
{
    for (; *cursor < table->count; ++*cursor)
        if (table->entries[*cursor].stream == stream)
            return &table->entries[(*cursor)++];
    if (*cursor == table->count && table->streams[stream].shared_used) {
        ++*cursor;
        return &table->shared[stream];
    }
    return nullptr;
}

track_counts senders_total(const sender_table *table, int stream, sender_census *census)
{
    const sender_stream *own = &table->streams[stream];
    track_counts total = own->retired_counts;
    census->senders = own->retired;
    census->more = own->shared_used;
    uint32_t cursor = 0;
    for (const sender_entry *entry; (entry = next_sender(table, stream, &cursor)) != nullptr;) {
        track_counts counts = track_snapshot(&entry->track);
        add_counts(&total, &counts);
        if (!entry->shared)
            census->senders++;
    }
    return total;
}
