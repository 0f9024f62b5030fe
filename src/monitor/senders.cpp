#include "monitor/senders.h"

#include <string.h>

static sender_key key_of(const endpoint *from, const unsigned char *session)
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

void senders_clear(sender_table *table, uint64_t idle_us)
{
    memset(table->slots, 0, sizeof table->slots);
    table->count = 0;
    table->last_found = 0;
    table->idle_us = idle_us;
    table->searched_us = 0;
    table->retired = 0;
    table->retired_counts = track_counts{};
}

// The slot that holds the key, or the empty slot where it would go.
static uint32_t find_slot(const sender_table *table, const sender_key *key)
{
    uint32_t slot = slot_of(key);
    while (table->slots[slot] != 0) {
        uint32_t index = table->slots[slot] - 1u;
        if (memcmp(&table->entries[index].key, key, sizeof *key) == 0)
            return slot;
        slot = (slot + 1) & (2 * SENDERS_MAX - 1);
    }
    return slot;
}

// Empties a slot of the open addressing, moving back the keys after it that would otherwise
// no longer be found from their home slot.
static void free_slot(sender_table *table, uint32_t slot)
{
    const uint32_t mask = 2 * SENDERS_MAX - 1;
    uint32_t hole = slot;
    for (uint32_t next = (hole + 1) & mask; table->slots[next] != 0; next = (next + 1) & mask) {
        uint32_t home = slot_of(&table->entries[table->slots[next] - 1u].key);
        // The key may move to the hole when its home is not between the hole and it.
        if (((next - home) & mask) >= ((next - hole) & mask)) {
            table->slots[hole] = table->slots[next];
            hole = next;
        }
    }
    table->slots[hole] = 0;
}

// In a full table, the entry heard from least recently, if it was idle long enough; its
// sender's counts go to the retired ones and its key leaves the hash. Returns its index, or
// SENDERS_MAX when none is free.
static uint32_t take_idle_entry(sender_table *table, uint64_t now_us)
{
    if (table->searched_us != 0 && now_us - table->searched_us < SENDER_SEARCH_PERIOD_US)
        return SENDERS_MAX;
    table->searched_us = now_us;
    uint32_t oldest = 0;
    for (uint32_t i = 1; i < SENDERS_MAX; i++)
        if (table->entries[i].last_us < table->entries[oldest].last_us)
            oldest = i;
    sender_entry *entry = &table->entries[oldest];
    if (now_us - entry->last_us < table->idle_us)
        return SENDERS_MAX;
    track_counts counts = track_snapshot(&entry->track);
    add_counts(&table->retired_counts, &counts);
    table->retired++;
    free_slot(table, find_slot(table, &entry->key));
    table->count--;
    return oldest;
}

static sender_entry *start_entry(sender_table *table, uint32_t index, const sender_key *key,
                                 const endpoint *from, const unsigned char *session,
                                 const seq_rules *rules)
{
    sender_entry *entry = &table->entries[index];
    entry->key = *key;
    entry->address = *from;
    entry->shared = index == SENDERS_MAX;
    entry->have_last = false;
    entry->last_utc_us = 0;
    entry->have_session = session != nullptr;
    if (session != nullptr)
        memcpy(entry->session, session, SESSION_BYTES);
    track_start(&entry->track, rules, !entry->shared);
    delay_clear(&entry->delays);
    table->count++;
    return entry;
}

static sender_entry *found(sender_table *table, uint32_t index, uint64_t now_us)
{
    table->last_found = index;
    table->entries[index].last_us = now_us;
    return &table->entries[index];
}

sender_entry *find_sender(sender_table *table, const endpoint *from, const unsigned char *session,
                          const seq_rules *rules, uint64_t now_us)
{
    sender_key key = key_of(from, session);
    sender_entry *last = &table->entries[table->last_found];
    if (table->count > 0 && memcmp(&last->key, &key, sizeof key) == 0) {
        last->last_us = now_us;
        return last;
    }
    uint32_t slot = find_slot(table, &key);
    if (table->slots[slot] != 0)
        return found(table, table->slots[slot] - 1u, now_us);
    // A sender not seen before: its own entry while there is room or one is idle, else the
    // shared one. Entries in use are 0 to count - 1 until the table first fills.
    bool full = table->count >= SENDERS_MAX;
    uint32_t index = full ? take_idle_entry(table, now_us) : table->count;
    if (index < SENDERS_MAX) {
        slot = find_slot(table, &key);
        table->slots[slot] = static_cast<uint16_t>(index + 1);
        start_entry(table, index, &key, from, session, rules);
        return found(table, index, now_us);
    }
    if (table->count == SENDERS_MAX)
        start_entry(table, SENDERS_MAX, &key, from, session, rules);
    return found(table, SENDERS_MAX, now_us);
}

track_counts senders_total(const sender_table *table, sender_census *census)
{
    track_counts total = table->retired_counts;
    uint32_t entries = table->count > SENDERS_MAX ? SENDERS_MAX + 1 : table->count;
    for (uint32_t i = 0; i < entries; i++) {
        track_counts counts = track_snapshot(&table->entries[i].track);
        add_counts(&total, &counts);
    }
    census->more = table->count > SENDERS_MAX;
    census->senders = table->retired + (census->more ? SENDERS_MAX : table->count);
    return total;
}
