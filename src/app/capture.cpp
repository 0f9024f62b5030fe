#include "app/capture.h"

#include <stdio.h>
#include <string.h>

#include "base/clock.h"
#include "base/log.h"
#include "net/address.h"
#include "net/capture.h"
#include "net/frame.h"
#include "net/reassembly.h"

#define STREAM_SLOTS 16384
static_assert((STREAM_SLOTS & (STREAM_SLOTS - 1)) == 0, "STREAM_SLOTS is a power of two");

// The capture being read; the loop's calls are plain functions, so it lives here. One capture
// is read per process.
static struct {
    capture_file file;
    run_state *state;
    bool open;
    bool ended;              // the file's end was read
    bool failed;             // reading stopped at a fault, after its error line
    bool have_next;          // a datagram read ahead: its time says when it is taken
    udp_frame next;
    uint64_t next_us;
    int next_stream;
    uint64_t now_us;         // the capture's clock
    uint64_t horizon_us;     // a batch takes datagrams up to this time, where the next timer is
    bool finds_streams;      // no stream was named: each multicast group and port is one
    bool have_last;          // the last datagram's group, port and source, and its stream: a
    endpoint last_group;     // stream's datagrams come in runs, and skip the search
    endpoint last_source;
    int last_stream;
    int slots[STREAM_SLOTS]; // by group and port: a stream's place + 1; 0 is empty
    int same_key_next[CAPTURE_STREAMS_MAX];  // the next stream of one group and port, or -1
    stream_settings found[CAPTURE_STREAMS_MAX];
    char names[CAPTURE_STREAMS_MAX][ENDPOINT_TEXT_MAX];
    reassembly fragments;    // datagrams split into IP fragments, put back together
} replay;

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
    uint32_t hash = 2166136261u;
    for (unsigned char byte : key)
        hash = (hash ^ byte) * 16777619u;
    return hash & (STREAM_SLOTS - 1);
}

static bool same_group_and_port(const endpoint *a, const endpoint *b)
{
    return a->storage.ss_family == b->storage.ss_family && same_endpoint(a, b);
}

// The slot of the streams of the group and port, or the empty one where they would go.
static uint32_t find_slot(const endpoint *group)
{
    uint32_t slot = slot_of(group);
    while (replay.slots[slot] != 0 &&
           !same_group_and_port(&replay.state->streams[replay.slots[slot] - 1].request.group, group))
        slot = (slot + 1) & (STREAM_SLOTS - 1);
    return slot;
}

static void add_to_slots(int place)
{
    const endpoint *group = &replay.state->streams[place].request.group;
    uint32_t slot = find_slot(group);
    replay.same_key_next[place] = -1;
    if (replay.slots[slot] == 0) {
        replay.slots[slot] = place + 1;
        return;
    }
    int last = replay.slots[slot] - 1;
    while (replay.same_key_next[last] >= 0)
        last = replay.same_key_next[last];
    replay.same_key_next[last] = place;
}

// A stream for a multicast group and port met first: named <group>:<port>, in the command
// line's layout. Returns its place, or -1 when there is no room for more.
static int add_found_stream(const udp_frame *frame)
{
    run_state *state = replay.state;
    if (state->stream_count >= state->stream_capacity)
        return -1;
    int place = state->stream_count;
    format_endpoint(replay.names[place], &frame->destination);
    stream_settings *config = &replay.found[place];
    *config = command_line_stream(state->options);
    config->name = replay.names[place];
    config->host = nullptr;
    config->port = endpoint_port(&frame->destination);
    config->source_host = nullptr;
    stream_init(&state->streams[place], config, state->options);
    state->streams[place].request.group = frame->destination;
    state->streams[place].request.source_specific = false;
    state->streams[place].last_arrival_us = replay.now_us;
    state->stream_count++;
    add_to_slots(place);
    return place;
}

// The stream a datagram belongs to: of its group and port, and of its source where the stream
// names one. -1 for none.
static int search_stream(const udp_frame *frame);

static int stream_of_frame(const udp_frame *frame)
{
    if (replay.have_last && same_group_and_port(&replay.last_group, &frame->destination) &&
        same_host(&replay.last_source, &frame->source))
        return replay.last_stream;
    int place = search_stream(frame);
    replay.have_last = place >= 0;
    replay.last_group = frame->destination;
    replay.last_source = frame->source;
    replay.last_stream = place;
    return place;
}

static int search_stream(const udp_frame *frame)
{
    uint32_t slot = find_slot(&frame->destination);
    for (int place = replay.slots[slot] - 1; place >= 0; place = replay.same_key_next[place]) {
        const membership_request *request = &replay.state->streams[place].request;
        if (!request->source_specific || same_host(&request->source, &frame->source))
            return place;
    }
    if (replay.finds_streams && replay.slots[slot] == 0 && is_multicast(&frame->destination))
        return add_found_stream(frame);
    return -1;
}

// Whether the datagram's number lies in what was captured: a frame cut short before it ended
// is counted, never judged.
static bool number_captured(const stream_state *stream, const udp_frame *frame)
{
    if (frame->captured_bytes >= frame->length_bytes)
        return true;
    return frame->captured_bytes >= layout_end(&stream->config->layout);
}

// Counts on its stream each fragmented datagram that cannot be made whole by now_us.
static void count_given_up(uint64_t now_us)
{
    udp_frame lost;
    while (reassembly_give_up(&replay.fragments, now_us, &lost) == 1) {
        int place = lost.addressed ? stream_of_frame(&lost) : -1;
        if (place >= 0)
            replay.state->streams[place].fragmented++;
    }
}

// Reads ahead to the next datagram of a stream, counting what is not one to judge; unless
// may_wait, not where the input would wait for its writer. Returns whether there is one.
static bool read_ahead(bool may_wait)
{
    while (!replay.have_next && !replay.ended && !replay.failed) {
        if (!may_wait && capture_would_wait(&replay.file))
            break;
        const unsigned char *bytes = nullptr;
        size_t captured = 0;
        uint64_t at_us = 0;
        int status = capture_next(&replay.file, &bytes, &captured, &at_us);
        if (status <= 0) {
            replay.ended = status == 0;
            replay.failed = status < 0;
            count_given_up(UINT64_MAX);
            break;
        }
        udp_frame *frame = &replay.next;
        decode_frame(replay.file.link, bytes, captured, frame);
        bool whole = frame->kind != FRAME_FRAGMENT ||
                     reassembly_add(&replay.fragments, frame, at_us, frame) == 1;
        count_given_up(at_us);
        if (!whole || !frame->addressed)
            continue;
        int place = stream_of_frame(frame);
        if (place < 0)
            continue;
        stream_state *stream = &replay.state->streams[place];
        if (frame->kind == FRAME_TRUNCATED || !number_captured(stream, frame)) {
            stream->truncated++;
            continue;
        }
        replay.next_us = at_us;
        replay.next_stream = place;
        replay.have_next = true;
    }
    return replay.have_next;
}

static void set_clock(uint64_t now_us)
{
    // A capture's times may step back (frames of other interfaces merged): the clock does not.
    if (now_us > replay.now_us)
        replay.now_us = now_us;
    clock_replay(replay.now_us);
}

// The clock moves on to the next datagram, or by the limit where the next timer comes first.
// At the end the receive is left to say so.
static int capture_wait(wait_set *, int64_t limit_us, int *ready, int)
{
    uint64_t now_us = replay.now_us;
    if (read_ahead(true) && limit_us >= 0 && replay.next_us > now_us + uint64_t(limit_us)) {
        set_clock(now_us + uint64_t(limit_us));
        return 0;
    }
    replay.horizon_us = limit_us < 0 ? UINT64_MAX : now_us + uint64_t(limit_us);
    if (replay.have_next)
        set_clock(replay.next_us);
    ready[0] = 0;
    return 1;
}

// The datagrams up to the horizon, whose stream each is said beside the batch; the clock
// stands at the last one's time while the batch is taken (no timer falls due before it).
static int capture_receive(socket_handle, received_datagram *datagrams, int count, bool wait)
{
    if (wait) {
        replay.horizon_us = UINT64_MAX;
        if (read_ahead(true))
            set_clock(replay.next_us);
    }
    run_state *state = replay.state;
    int taken = 0;
    // Where the input would wait, the batch ends: what it holds is written out before. After
    // an interrupt nothing more is read; what was is taken.
    while (taken < count && (replay.have_next || !interrupted) && read_ahead(false) &&
           replay.next_us <= replay.horizon_us) {
        received_datagram *datagram = &datagrams[taken];
        size_t copied = replay.next.captured_bytes < datagram->size ? replay.next.captured_bytes
                                                                    : datagram->size;
        memcpy(datagram->buffer, replay.next.payload, copied);
        // What the snap length cut off past the number reads as zero.
        size_t whole = replay.next.length_bytes < datagram->size ? replay.next.length_bytes
                                                                 : datagram->size;
        if (whole > copied)
            memset(datagram->buffer + copied, 0, whole - copied);
        datagram->length_bytes = static_cast<int>(replay.next.length_bytes);
        datagram->from = replay.next.source;
        datagram->have_destination = true;
        datagram->destination = replay.next.destination;
        datagram->have_drop_count = false;
        datagram->have_arrival = true;
        datagram->arrival_utc_us = replay.next_us;
        state->batch_streams[taken] = replay.next_stream;
        taken++;
        replay.have_next = false;
    }
    if (taken > 0) {
        // The run has come as far as the batch's last datagram.
        set_clock(datagrams[taken - 1].arrival_utc_us);
        return taken;
    }
    return replay.ended || replay.failed ? RECEIVE_END : RECEIVE_WOULD_BLOCK;
}

static void no_nap(int64_t)
{
}

static uint64_t capture_clock_us(void)
{
    return replay.now_us;
}

// A capture knows nothing of this host's drops.
static int no_drops(socket_handle, uint32_t *)
{
    return 0;
}

const loop_calls capture_loop_calls = {.receive_many = capture_receive,
                                       .wait = capture_wait,
                                       .nap = no_nap,
                                       .nap_us = 0,
                                       .monotonic_us = capture_clock_us,
                                       .utc_us = capture_clock_us,
                                       .read_drops = no_drops};

// The streams named on the command line or in the config: their groups, ports and sources.
// Returns 0, or -1 after an error line.
static int resolve_named_streams(run_state *state)
{
    for (int place = 0; place < state->stream_count; place++) {
        stream_state *stream = &state->streams[place];
        const stream_settings *config = stream->config;
        membership_request *request = &stream->request;
        int code = 0;
        if (find_group(config->host, &request->group, &code) < 0) {
            log_line(stderr, "error", "Cannot resolve \"%s\"", config->host);
            return -1;
        }
        endpoint_set_port(&request->group, config->port);
        request->source_specific = config->source_host != nullptr;
        if (request->source_specific &&
            find_host(config->source_host, request->group.storage.ss_family, &request->source,
                      &code) < 0) {
            log_line(stderr, "error", "Cannot resolve the source \"%s\" in the group's family",
                     config->source_host);
            return -1;
        }
        add_to_slots(place);
    }
    return 0;
}

int open_capture(run_state *state)
{
    memset(replay.slots, 0, sizeof replay.slots);
    reassembly_reset(&replay.fragments);
    replay.state = state;
    replay.ended = false;
    replay.failed = false;
    replay.have_next = false;
    replay.have_last = false;
    replay.now_us = 0;
    replay.finds_streams = state->stream_count == 0;
    state->from_capture = true;
    state->streams_of_batch_given = true;
    state->stamps_arrivals = true;
    // One receiver stands for the file: the capture says whose each datagram is.
    state->receivers[0] = receiver{};
    state->receiver_count = 1;
    if (resolve_named_streams(state) < 0 ||
        capture_open(&replay.file, state->options->read_path, &interrupted) < 0)
        return -1;
    replay.open = true;
    state->open_count = 1;
    // The run starts at the first datagram's time.
    if (read_ahead(true))
        set_clock(replay.next_us);
    return 0;
}

bool capture_failed(void)
{
    return replay.failed;
}

// The error line of a fault comes after the lines of what was read before it, and before the
// summary.
void close_capture(run_state *state)
{
    if (replay.failed && flush_output(state) == 0)
        capture_say_stop(&replay.file);
    if (replay.open)
        capture_close(&replay.file);
    replay.open = false;
    state->open_count = 0;
}
