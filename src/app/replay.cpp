#include "app/replay.h"

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
    uint64_t next_us;        // on the run's clock, which a small step back does not move
    uint64_t next_utc_us;    // its own time
    int next_stream;
    uint64_t now_us;         // the capture's clock
    uint64_t frames;         // read so far
    uint64_t latest_us;      // the latest frame's time, moved on past steps back
    uint64_t step_back_us;   // added to every frame's time: the steps back so far
    uint64_t unwatched;      // datagrams of groups past the streams a capture may hold
    uint64_t taken;          // datagrams handed to the run
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
           !same_group_and_port(&replay.state->watched.streams[replay.slots[slot] - 1].request.group, group))
        slot = (slot + 1) & (STREAM_SLOTS - 1);
    return slot;
}

static void add_to_slots(int place)
{
    const endpoint *group = &replay.state->watched.streams[place].request.group;
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
    // Its settings are the replay's, in the place the record gives it next.
    run_state *state = replay.state;
    int next = state->watched.stream_count;
    if (next >= CAPTURE_STREAMS_MAX)
        return -1;
    format_endpoint(replay.names[next], &frame->destination);
    stream_settings *config = &replay.found[next];
    *config = command_line_stream(state->options);
    config->name = replay.names[next];
    config->host = nullptr;
    config->port = endpoint_port(&frame->destination);
    config->source_host = nullptr;
    int place = add_stream(state, config, &frame->destination, replay.now_us);
    if (place >= 0)
        add_to_slots(place);
    return place;
}

// The stream a datagram belongs to: of its group and port, and of its source where the stream
// names one. -1 for none; NEW_STREAM for a group and port met first, whose stream is made when
// its datagram is handed to the run: a stream exists from its first datagram's time on, not
// from when the replay read ahead to it.
#define NEW_STREAM (-2)
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
        const membership_request *request = &replay.state->watched.streams[place].request;
        if (!request->source_specific || same_host(&request->source, &frame->source))
            return place;
    }
    if (replay.finds_streams && replay.slots[slot] == 0 && is_multicast(&frame->destination)) {
        if (replay.state->watched.stream_count < replay.state->watched.stream_capacity)
            return NEW_STREAM;
        if (replay.unwatched++ == 0)
            log_line(stderr, "error", "%s holds more than %d multicast groups and ports: the "
                     "datagrams of those past the %dth are not watched (name the streams to "
                     "watch with --config)", replay.state->options->read_path,
                     CAPTURE_STREAMS_MAX, CAPTURE_STREAMS_MAX);
    }
    return -1;
}

// Whether the datagram's number lies in what was captured: a frame cut short before it ended
// is counted, never judged.
static bool number_captured(const seq_layout *layout, const udp_frame *frame)
{
    if (frame->captured_bytes >= frame->length_bytes)
        return true;
    return frame->captured_bytes >= layout_end(layout);
}

// A capture's time may step back. Frames of two interfaces merged by their stamps come a
// little out of order (nanoseconds to a few milliseconds): such a frame keeps its own time and
// the run's clock stands still for it. A larger step (files merged out of order) would stop
// every period and stall until the time came back: from it on, times are moved on by the
// step, so that they count forward only, and the step is said once.
#define CAPTURE_STEP_BACK_MAX_US 1000000

// The frame's own time (moved on past large steps back), and the run's clock for it.
static void frame_times(uint64_t stamp_us, uint64_t *own_us, uint64_t *clock_us)
{
    uint64_t moved_us = stamp_us + replay.step_back_us;
    if (replay.frames > 1 && moved_us + CAPTURE_STEP_BACK_MAX_US < replay.latest_us) {
        if (replay.step_back_us == 0)
            log_line(stderr, "error", "%s: the time steps back %llu.%06llu s at frame %llu: the "
                     "times from there on are moved on by the step",
                     replay.state->options->read_path,
                     static_cast<unsigned long long>((replay.latest_us - moved_us) / 1000000),
                     static_cast<unsigned long long>((replay.latest_us - moved_us) % 1000000),
                     static_cast<unsigned long long>(replay.frames));
        replay.step_back_us += replay.latest_us - moved_us;
        moved_us = replay.latest_us;
    }
    if (moved_us > replay.latest_us || replay.frames == 1)
        replay.latest_us = moved_us;
    *own_us = moved_us;
    *clock_us = replay.latest_us;
}

// Counts on its stream each fragmented datagram that cannot be made whole by now_us.
static void count_given_up(uint64_t now_us)
{
    // Most captures hold no fragment: an empty table is passed over at the cost of a load.
    if (replay.fragments.used_count == 0)
        return;
    udp_frame lost;
    while (reassembly_give_up(&replay.fragments, now_us, &lost) == 1) {
        int place = lost.addressed ? stream_of_frame(&lost) : -1;
        if (place == NEW_STREAM)
            place = add_found_stream(&lost);
        if (place >= 0)
            replay.state->watched.streams[place].fragmented++;
    }
}

// Reads ahead to the next datagram of a stream, counting what is not one to judge; unless
// may_wait, not where the input would wait for its writer. Returns whether there is one.
static bool read_ahead(bool may_wait)
{
    while (!replay.have_next && !replay.ended && !replay.failed) {
        if (!may_wait && replay.file.may_wait && capture_would_wait(&replay.file))
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
        replay.frames++;
        uint64_t own_us, clock_us;
        frame_times(at_us, &own_us, &clock_us);
        udp_frame *frame = &replay.next;
        decode_frame(replay.file.link, bytes, captured, frame);
        bool whole = frame->kind != FRAME_FRAGMENT ||
                     reassembly_add(&replay.fragments, frame, own_us, frame) == 1;
        count_given_up(own_us);
        if (!whole || !frame->addressed)
            continue;
        int place = stream_of_frame(frame);
        // What is counted, never judged, makes its stream at once.
        if (place == NEW_STREAM && (frame->kind == FRAME_TRUNCATED ||
                                    !number_captured(&replay.state->options->layout, frame)))
            place = add_found_stream(frame);
        if (place == NEW_STREAM) {
            replay.next_us = clock_us;
            replay.next_utc_us = own_us;
            replay.next_stream = place;
            replay.have_next = true;
            break;
        }
        if (place < 0)
            continue;
        stream_state *stream = &replay.state->watched.streams[place];
        if (frame->kind == FRAME_TRUNCATED || !number_captured(&stream->config->layout, frame)) {
            stream->truncated++;
            continue;
        }
        replay.next_us = clock_us;
        replay.next_utc_us = own_us;
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
}

// The clock moves on by the limit where the next timer comes before the next datagram; else
// the receive moves it on as it hands datagrams over. At the end the receive says so.
static int capture_wait(void *, wait_set *, int64_t limit_us, int *ready, int)
{
    uint64_t now_us = replay.now_us;
    if (read_ahead(true) && limit_us >= 0 && replay.next_us > now_us + uint64_t(limit_us)) {
        set_clock(now_us + uint64_t(limit_us));
        return 0;
    }
    replay.horizon_us = limit_us < 0 ? UINT64_MAX : now_us + uint64_t(limit_us);
    ready[0] = 0;
    return 1;
}

// The datagrams up to the horizon, each with its stream and its own time; the clock then
// stands at the last one's time.
static int capture_receive(void *, socket_handle, received_datagram *datagrams, int count,
                           bool wait)
{
    // A receive that may wait reads on until a datagram comes, however long the input takes.
    if (wait) {
        replay.horizon_us = UINT64_MAX;
        read_ahead(true);
    }
    int taken = 0;
    // Where the input would wait, the batch ends: what it holds is written out before. After
    // an interrupt nothing more is read; what was is taken.
    while (taken < count && (replay.have_next || !interrupted) && read_ahead(false) &&
           replay.next_us <= replay.horizon_us) {
        if (replay.next_stream == NEW_STREAM)
            replay.next_stream = add_found_stream(&replay.next);
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
        datagram->arrival_utc_us = replay.next_utc_us;
        datagram->at_us = replay.next_us;
        datagram->stream = replay.next_stream;
        taken++;
        replay.have_next = false;
        replay.taken++;
    }
    if (taken > 0) {
        // The run has come as far as the batch's last datagram.
        set_clock(datagrams[taken - 1].at_us);
        return taken;
    }
    return replay.ended || replay.failed ? RECEIVE_END : RECEIVE_WOULD_BLOCK;
}

static void no_nap(void *, int64_t)
{
}

static uint64_t capture_clock_us(void *)
{
    return replay.now_us;
}

// A capture knows nothing of this host's drops.
static int no_drops(void *, socket_handle, uint32_t *)
{
    return 0;
}

loop_calls replay_loop_calls(void)
{
    return loop_calls{.receive_many = capture_receive,
                      .wait = capture_wait,
                      .nap = no_nap,
                      .nap_us = 0,
                      .monotonic_us = capture_clock_us,
                      .utc_us = capture_clock_us,
                      .read_drops = no_drops,
                      .receive_query = nullptr,  // a capture opens no query socket
                      .interface_name = nullptr,
                      .context = &replay};
}

// The streams named on the command line or in the config: their groups, ports and sources.
// Returns 0, or -1 after an error line.
static int resolve_named_streams(run_state *state)
{
    for (int place = 0; place < state->watched.stream_count; place++) {
        stream_state *stream = &state->watched.streams[place];
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

int open_replay(run_state *state)
{
    memset(replay.slots, 0, sizeof replay.slots);
    reassembly_reset(&replay.fragments);
    replay.state = state;
    replay.ended = false;
    replay.failed = false;
    replay.have_next = false;
    replay.have_last = false;
    replay.now_us = 0;
    replay.frames = 0;
    replay.latest_us = 0;
    replay.step_back_us = 0;
    replay.unwatched = 0;
    replay.taken = 0;
    replay.finds_streams = state->watched.stream_count == 0;
    state->from_capture = true;
    state->needs.stamps_arrivals = true;
    state->judging.stamps = true;
    // One receiver stands for the file: the capture says whose each datagram is.
    state->receive.receivers[0] = receiver{};
    state->receive.receiver_count = 1;
    if (resolve_named_streams(state) < 0 ||
        capture_open(&replay.file, state->options->read_path, &interrupted) < 0)
        return -1;
    replay.open = true;
    state->receive.open_count = 1;
    // The run starts at the first datagram's time; where there is none, at the first frame's,
    // or in a file with no frame at all, now.
    if (read_ahead(true))
        set_clock(replay.next_us);
    else
        set_clock(replay.frames > 0 ? replay.latest_us : clock_utc_us());
    return 0;
}

bool replay_failed(void)
{
    return replay.failed;
}

void report_replay_end(const run_state *state)
{
    if (replay.unwatched > 0)
        log_line(stderr, "error", "Not watched: %llu datagrams of groups past the %dth",
                 static_cast<unsigned long long>(replay.unwatched), CAPTURE_STREAMS_MAX);
    if (replay.taken > 0 || replay.failed)
        return;
    if (replay.finds_streams)
        log_line(stderr, "error", "No multicast datagram in %s: to read a unicast stream, name "
                 "it (<host> <port>)", state->options->read_path);
    else
        log_line(stderr, "error", "No datagram of the named %s in %s",
                 state->watched.stream_count == 1 ? "stream" : "streams", state->options->read_path);
}

// The error line of a fault comes after the lines of what was read before it, and before the
// summary.
void close_replay(run_state *state)
{
    if (replay.failed && flush_output(state) == 0)
        capture_say_stop(&replay.file);
    if (replay.open)
        capture_close(&replay.file);
    replay.open = false;
    state->receive.open_count = 0;
}
