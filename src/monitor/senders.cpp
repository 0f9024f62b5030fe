#include "monitor/senders.h"

#include <string.h>

static sender_key key_of(const endpoint *from)
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
    return key;
}

// FNV-1a: cheap, and good enough for keys that an attacker may choose, since a full table
// only costs probes, never memory.
static uint32_t slot_of(const sender_key *key)
{
    uint32_t hash = 2166136261u;
    for (unsigned char byte : key->bytes)
        hash = (hash ^ byte) * 16777619u;
    return hash & (2 * SENDERS_MAX - 1);
}

void senders_clear(sender_table *table)
{
    memset(table->slots, 0, sizeof table->slots);
    table->count = 0;
    table->last_found = 0;
}

static sender_entry *start_entry(sender_table *table, uint32_t index, const sender_key *key,
                                 const endpoint *from, bool short_seq)
{
    sender_entry *entry = &table->entries[index];
    entry->key = *key;
    entry->address = *from;
    entry->shared = index == SENDERS_MAX;
    entry->have_last = false;
    entry->last_utc_us = 0;
    track_start(&entry->track, short_seq);
    table->count++;
    return entry;
}

sender_entry *find_sender(sender_table *table, const endpoint *from, bool short_seq)
{
    sender_key key = key_of(from);
    sender_entry *last = &table->entries[table->last_found];
    if (table->count > 0 && memcmp(&last->key, &key, sizeof key) == 0)
        return last;
    uint32_t slot = slot_of(&key);
    while (table->slots[slot] != 0) {
        uint32_t index = table->slots[slot] - 1u;
        if (memcmp(&table->entries[index].key, &key, sizeof key) == 0) {
            table->last_found = index;
            return &table->entries[index];
        }
        slot = (slot + 1) & (2 * SENDERS_MAX - 1);
    }
    // A sender not seen before: its own entry while there is room, else the shared one.
    if (table->count < SENDERS_MAX) {
        uint32_t index = table->count;
        table->slots[slot] = static_cast<uint16_t>(index + 1);
        table->last_found = index;
        return start_entry(table, index, &key, from, short_seq);
    }
    table->last_found = SENDERS_MAX;
    if (table->count == SENDERS_MAX)
        return start_entry(table, SENDERS_MAX, &key, from, short_seq);
    return &table->entries[SENDERS_MAX];
}

track_counts senders_total(const sender_table *table, uint64_t *senders)
{
    track_counts total = {};
    for (uint32_t i = 0; i < table->count; i++) {
        track_counts counts = track_snapshot(&table->entries[i].track);
        add_counts(&total, &counts);
    }
    *senders = table->count;
    return total;
}
