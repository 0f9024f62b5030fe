#include "net/reassembly.h"

#include <string.h>

#include "net/address.h"

static_assert(REASSEMBLY_DATAGRAM_MAX_BYTES <= UINT16_MAX,
              "an offset and a length in the datagram fit the fragment headers' fields");

void reassembly_reset(reassembly *table)
{
    table->used_count = 0;
    for (bool &used : table->used)
        used = false;
}

static reassembly_entry *find_entry(reassembly *table, const udp_frame *fragment)
{
    for (int i = 0; i < REASSEMBLY_DATAGRAMS_MAX; i++) {
        const reassembly_entry *entry = &table->entries[i];
        if (table->used[i] && entry->id == fragment->fragment_id &&
            same_host(&entry->source, &fragment->source) &&
            same_host(&entry->destination, &fragment->destination))
            return &table->entries[i];
    }
    return nullptr;
}

static reassembly_entry *start_entry(reassembly *table, const udp_frame *fragment, uint64_t now_us)
{
    for (int i = 0; i < REASSEMBLY_DATAGRAMS_MAX; i++) {
        if (table->used[i])
            continue;
        reassembly_entry &entry = table->entries[i];
        table->used[i] = true;
        entry.failed = false;
        entry.first_us = now_us;
        entry.source = fragment->source;
        entry.destination = fragment->destination;
        entry.id = fragment->fragment_id;
        entry.total_bytes = 0;
        entry.received_bytes = 0;
        entry.captured_end = UINT32_MAX;
        entry.fragment_count = 0;
        table->used_count++;
        return &entry;
    }
    return nullptr;
}

static void release(reassembly *table, const reassembly_entry *entry)
{
    table->used[entry - table->entries] = false;
    table->used_count--;
}

// Whether the fragment [start, end) fits what came before: within the datagram, whole 8-byte
// units but for the last, the last's end agreeing, and overlapping nothing. One that lies
// wholly within what came is neither fitting nor refused: it is dropped (*repeat), as the
// kernel drops it.
static bool fits(const reassembly_entry *entry, uint32_t start, uint32_t end, bool more,
                 bool *repeat)
{
    *repeat = false;
    if (end > REASSEMBLY_DATAGRAM_MAX_BYTES || entry->fragment_count == REASSEMBLY_FRAGMENTS_MAX)
        return false;
    if (more ? (end - start) % 8 != 0 || (entry->total_bytes != 0 && end > entry->total_bytes)
             : entry->total_bytes != 0 && end != entry->total_bytes)
        return false;
    // The fragments that came do not overlap, so what they cover of this one adds up.
    uint32_t covered_bytes = 0;
    for (int i = 0; i < entry->fragment_count; i++) {
        uint32_t from = start > entry->starts[i] ? start : entry->starts[i];
        uint32_t to = end < entry->ends[i] ? end : entry->ends[i];
        if (from < to)
            covered_bytes += to - from;
        if (!more && entry->ends[i] > end)
            return false;
    }
    *repeat = end > start && covered_bytes == end - start;
    // The kernel refuses a datagram whose fragments overlap: they may hide what is checked.
    return covered_bytes == 0;
}

int reassembly_add(reassembly *table, const udp_frame *fragment, uint64_t now_us, udp_frame *whole)
{
    reassembly_entry *entry = find_entry(table, fragment);
    if (entry == nullptr)
        entry = start_entry(table, fragment, now_us);
    if (entry == nullptr || entry->failed)
        return 0;
    uint32_t start = fragment->fragment_offset_bytes;
    uint32_t end = start + fragment->length_bytes;
    bool repeat;
    if (!fits(entry, start, end, fragment->more_fragments, &repeat)) {
        entry->failed = !repeat;
        return 0;
    }
    entry->starts[entry->fragment_count] = start;
    entry->ends[entry->fragment_count] = end;
    entry->fragment_count++;
    memcpy(entry->data + start, fragment->payload, fragment->captured_bytes);
    uint32_t captured_end = start + static_cast<uint32_t>(fragment->captured_bytes);
    if (fragment->captured_bytes < fragment->length_bytes && captured_end < entry->captured_end)
        entry->captured_end = captured_end;
    entry->received_bytes += fragment->length_bytes;
    if (!fragment->more_fragments)
        entry->total_bytes = end;
    if (entry->total_bytes == 0 || entry->received_bytes != entry->total_bytes)
        return 0;
    release(table, entry);
    whole->source = entry->source;
    whole->destination = entry->destination;
    uint32_t captured =
        entry->captured_end < entry->total_bytes ? entry->captured_end : entry->total_bytes;
    decode_reassembled(entry->data, captured, entry->total_bytes, whole);
    return 1;
}

// Whether the first fragment's ports were captured: it started at 0 and was cut past them.
static bool have_ports(const reassembly_entry *entry)
{
    for (int i = 0; i < entry->fragment_count; i++)
        if (entry->starts[i] == 0)
            return entry->captured_end >= 4 && entry->ends[i] >= 4;
    return false;
}

int reassembly_give_up(reassembly *table, uint64_t now_us, udp_frame *lost)
{
    if (table->used_count == 0)
        return 0;
    for (int i = 0; i < REASSEMBLY_DATAGRAMS_MAX; i++) {
        if (!table->used[i])
            continue;
        reassembly_entry &entry = table->entries[i];
        // A capture's time may step back: a datagram does not expire before it began.
        bool expired = now_us >= entry.first_us && now_us - entry.first_us >= REASSEMBLY_TIMEOUT_US;
        if (!entry.failed && !expired)
            continue;
        release(table, &entry);
        lost->source = entry.source;
        lost->destination = entry.destination;
        if (have_ports(&entry)) {
            decode_reassembled(entry.data, 4, entry.total_bytes, lost);
        } else {
            lost->addressed = false;
        }
        lost->kind = FRAME_FRAGMENT;
        return 1;
    }
    return 0;
}
