#include "monitor/querier.h"

#include <string.h>

static querier_entry *find_entry(querier_table *table, uint32_t interface_index,
                                 const query_reading *query)
{
    for (int i = 0; i < table->count; i++) {
        querier_entry *entry = &table->entries[i];
        if (entry->interface_index == interface_index && entry->version == query->version &&
            memcmp(entry->address, query->querier, sizeof entry->address) == 0)
            return entry;
    }
    return nullptr;
}

void query_watch_heard(query_watch *watch, uint32_t interface_index, uint64_t at_us)
{
    if (watch->interface_index != 0 && watch->interface_index != interface_index)
        return;
    watch->warned = false;
    if (at_us > watch->since_us)
        watch->since_us = at_us;
}

int query_watch_due(query_watch *watch, uint64_t now_us, uint64_t timeout_us, uint64_t *next_us)
{
    *next_us = UINT64_MAX;
    if (watch->warned)
        return 0;
    if (now_us >= watch->since_us && now_us - watch->since_us >= timeout_us) {
        watch->warned = true;
        return 1;
    }
    *next_us = watch->since_us + timeout_us;
    return 0;
}

int querier_note(querier_table *table, uint32_t interface_index, const query_reading *query,
                 uint64_t at_utc_us)
{
    querier_entry *entry = find_entry(table, interface_index, query);
    bool said = entry == nullptr || entry->interval_s != query->interval_s;
    if (entry == nullptr) {
        if (table->count == QUERIERS_MAX) {
            table->other_queries++;
            return 0;
        }
        entry = &table->entries[table->count++];
        *entry = querier_entry{interface_index, query->version, {}, 0, 0, 0};
        memcpy(entry->address, query->querier, sizeof entry->address);
    }
    entry->interval_s = query->interval_s;
    entry->queries++;
    entry->last_utc_us = at_utc_us;
    return said ? 1 : 0;
}

// The querier last heard on the interface (any, for the watch of the system's choice).
static const querier_entry *last_querier_on(const querier_table *table, uint32_t interface_index)
{
    const querier_entry *last = nullptr;
    for (int i = 0; i < table->count; i++) {
        const querier_entry *entry = &table->entries[i];
        bool here = interface_index == 0 || entry->interface_index == interface_index;
        if (here && (last == nullptr || entry->last_utc_us > last->last_utc_us))
            last = entry;
    }
    return last;
}

bool stalest_link(const query_watch *watches, int watch_count, const querier_table *table,
                  uint64_t now_us, uint64_t *silent_us, const querier_entry **querier)
{
    const query_watch *stalest = nullptr;
    for (int i = 0; i < watch_count; i++)
        if (stalest == nullptr || watches[i].since_us < stalest->since_us)
            stalest = &watches[i];
    if (stalest == nullptr)
        return false;
    *silent_us = now_us > stalest->since_us ? now_us - stalest->since_us : 0;
    *querier = last_querier_on(table, stalest->interface_index);
    return true;
}
