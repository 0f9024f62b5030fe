#include "monitor/snapshot.h"

#include <stdlib.h>

int snapshot_open(run_snapshot *snapshot, const sender_table *table, int stream_room)
{
    *snapshot = {};
    size_t streams = static_cast<size_t>(stream_room > 0 ? stream_room : 1);
    size_t senders = table->capacity + streams;
    snapshot->streams = static_cast<stream_snapshot *>(calloc(streams, sizeof *snapshot->streams));
    snapshot->senders = static_cast<sender_snapshot *>(calloc(senders, sizeof *snapshot->senders));
    snapshot->feeds = static_cast<feed_snapshot *>(calloc(streams, sizeof *snapshot->feeds));
    if (snapshot->streams == nullptr || snapshot->senders == nullptr || snapshot->feeds == nullptr) {
        snapshot_close(snapshot);
        return -1;
    }
    snapshot->stream_room = snapshot->feed_room = static_cast<int>(streams);
    snapshot->sender_room = static_cast<uint32_t>(senders);
    return 0;
}

void snapshot_close(run_snapshot *snapshot)
{
    free(snapshot->streams);
    free(snapshot->senders);
    free(snapshot->feeds);
    *snapshot = {};
}

// The stream's next sender, its figures added to the stream's.
static void take_sender(run_snapshot *snapshot, stream_snapshot *stream, const sender_entry *entry)
{
    sender_snapshot *place =
        snapshot->senders + (stream->senders - snapshot->senders) + stream->sender_count++;
    place->entry = entry;
    place->figures = {track_snapshot(&entry->track), entry->last_utc_us};
    place->has_numbers = !entry->shared && entry->track.started;
    add_counts(&stream->total.counts, &place->figures.counts);
    if (stream->latest == nullptr || entry->last_utc_us > stream->latest->entry->last_utc_us)
        stream->latest = place;
    if (entry->last_utc_us > stream->total.last_utc_us)
        stream->total.last_utc_us = entry->last_utc_us;
    if (!entry->shared)
        stream->census.senders++;
    stream->heard = true;
}

// Each stream's senders lie together in the snapshot, in the table's order as next_sender
// gives them: counted first, so that one more pass places every entry.
void snapshot_senders(run_snapshot *snapshot, const sender_table *table, int stream_count)
{
    if (stream_count > snapshot->stream_room)
        stream_count = snapshot->stream_room;
    snapshot->stream_count = stream_count;
    for (int s = 0; s < stream_count; s++) {
        stream_snapshot *stream = &snapshot->streams[s];
        const sender_stream *own = &table->streams[s];
        *stream = {};
        stream->total = {own->retired_counts, 0};
        stream->census = {own->retired, own->shared_used};
        stream->heard = own->retired > 0;
        stream->sender_count = own->shared_used ? 1 : 0;
    }
    for (uint32_t i = 0; i < table->count; i++)
        if (table->entries[i].stream < stream_count)
            snapshot->streams[table->entries[i].stream].sender_count++;
    uint32_t next = 0;
    for (int s = 0; s < stream_count; s++) {
        snapshot->streams[s].senders = &snapshot->senders[next];
        next += static_cast<uint32_t>(snapshot->streams[s].sender_count);
        snapshot->streams[s].sender_count = 0;
    }
    for (uint32_t i = 0; i < table->count; i++) {
        const sender_entry *entry = &table->entries[i];
        if (entry->stream >= stream_count)
            continue;
        take_sender(snapshot, &snapshot->streams[entry->stream], entry);
    }
    for (int s = 0; s < stream_count; s++) {
        if (table->streams[s].shared_used)
            take_sender(snapshot, &snapshot->streams[s], &table->shared[s]);
    }
}
