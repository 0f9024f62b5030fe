#include "app/capture_streams.h"

#include <stdio.h>
#include <string.h>

#include "base/hash.h"
#include "base/log.h"

static uint32_t slot_of(const endpoint *group)
{
    unsigned char key[18];
    memset(key, 0, sizeof key);
    if (group->storage.ss_family == AF_INET6)
        memcpy(key, &reinterpret_cast<const sockaddr_in6 *>(&group->storage)->sin6_addr, 16);
    else
        memcpy(key, &reinterpret_cast<const sockaddr_in *>(&group->storage)->sin_addr, 4);
    uint16_t port = endpoint_port(group);
    memcpy(key + 16, &port, 2);
    return hash_bytes(key, sizeof key) & (CAPTURE_STREAM_SLOTS - 1);
}

static bool same_group_and_port(const endpoint *a, const endpoint *b)
{
    return a->storage.ss_family == b->storage.ss_family && same_endpoint(a, b);
}

// The slot of the streams of the group and port, or the empty one where they would go.
static uint32_t find_slot(const capture_streams *streams, const endpoint *group)
{
    const stream_state *watched = streams->state->watched.streams;
    uint32_t slot = slot_of(group);
    while (streams->slots[slot] != 0 &&
           !same_group_and_port(&watched[streams->slots[slot] - 1].request.group, group))
        slot = (slot + 1) & (CAPTURE_STREAM_SLOTS - 1);
    return slot;
}

void capture_streams_start(capture_streams *streams, run_state *state)
{
    memset(streams->slots, 0, sizeof streams->slots);
    streams->state = state;
    streams->finds_streams = state->watched.stream_count == 0;
    streams->unwatched = 0;
    streams->have_last = false;
}

void capture_streams_add(capture_streams *streams, int place)
{
    const endpoint *group = &streams->state->watched.streams[place].request.group;
    uint32_t slot = find_slot(streams, group);
    streams->same_key_next[place] = -1;
    if (streams->slots[slot] == 0) {
        streams->slots[slot] = place + 1;
        return;
    }
    int last = streams->slots[slot] - 1;
    while (streams->same_key_next[last] >= 0)
        last = streams->same_key_next[last];
    streams->same_key_next[last] = place;
}

int capture_stream_add_found(capture_streams *streams, const udp_frame *frame, uint64_t now_us)
{
    // Its settings are the command line's, in the place the record gives it next.
    run_state *state = streams->state;
    int next = state->watched.stream_count;
    if (next >= CAPTURE_STREAMS_MAX)
        return -1;
    format_endpoint(streams->names[next], &frame->destination);
    stream_settings *config = &streams->found[next];
    *config = command_line_stream(state->options);
    config->name = streams->names[next];
    config->host = nullptr;
    config->port = endpoint_port(&frame->destination);
    config->source_host = nullptr;
    int place = add_stream(state, config, &frame->destination, now_us);
    if (place >= 0)
        capture_streams_add(streams, place);
    return place;
}

static int search_stream(capture_streams *streams, const udp_frame *frame)
{
    const run_state *state = streams->state;
    uint32_t slot = find_slot(streams, &frame->destination);
    for (int place = streams->slots[slot] - 1; place >= 0; place = streams->same_key_next[place]) {
        const membership_request *request = &state->watched.streams[place].request;
        if (!request->source_specific || same_host(&request->source, &frame->source))
            return place;
    }
    if (streams->finds_streams && streams->slots[slot] == 0 &&
        is_multicast(&frame->destination)) {
        if (state->watched.stream_count < state->watched.stream_capacity)
            return NEW_STREAM;
        if (streams->unwatched++ == 0)
            log_line(stderr, "error", "%s holds more than %d multicast groups and ports: the "
                     "datagrams of those past the %dth are not watched (name the streams to "
                     "watch with --config)", state->options->read_path,
                     CAPTURE_STREAMS_MAX, CAPTURE_STREAMS_MAX);
    }
    return -1;
}

int capture_stream_of(capture_streams *streams, const udp_frame *frame)
{
    if (streams->have_last && same_group_and_port(&streams->last_group, &frame->destination) &&
        same_host(&streams->last_source, &frame->source))
        return streams->last_stream;
    int place = search_stream(streams, frame);
    streams->have_last = place >= 0;
    streams->last_group = frame->destination;
    streams->last_source = frame->source;
    streams->last_stream = place;
    return place;
}
