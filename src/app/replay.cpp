#include "app/replay.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base/clock.h"
#include "base/log.h"
#include "net/address.h"
#include "net/capture.h"
#include "net/frame.h"
#include "net/reassembly.h"

// The capture being read: the context of the loop's calls over it.
struct replay_reader {
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
    uint64_t taken;          // datagrams handed to the run
    uint64_t horizon_us;     // a batch takes datagrams up to this time, where the next timer is
    capture_streams streams;
    reassembly fragments;    // datagrams split into IP fragments, put back together
};

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
static void frame_times(replay_reader *replay, uint64_t stamp_us, uint64_t *own_us,
                        uint64_t *clock_us)
{
    uint64_t moved_us = stamp_us + replay->step_back_us;
    if (replay->frames > 1 && moved_us + CAPTURE_STEP_BACK_MAX_US < replay->latest_us) {
        if (replay->step_back_us == 0)
            log_line(stderr, "error", "%s: the time steps back %llu.%06llu s at frame %llu: the "
                     "times from there on are moved on by the step",
                     replay->state->options->read_path,
                     static_cast<unsigned long long>((replay->latest_us - moved_us) / 1000000),
                     static_cast<unsigned long long>((replay->latest_us - moved_us) % 1000000),
                     static_cast<unsigned long long>(replay->frames));
        replay->step_back_us += replay->latest_us - moved_us;
        moved_us = replay->latest_us;
    }
    if (moved_us > replay->latest_us || replay->frames == 1)
        replay->latest_us = moved_us;
    *own_us = moved_us;
    *clock_us = replay->latest_us;
}

// Counts on its stream each fragmented datagram that cannot be made whole by now_us.
static void count_given_up(replay_reader *replay, uint64_t now_us)
{
    // Most captures hold no fragment: an empty table is passed over at the cost of a load.
    if (replay->fragments.used_count == 0)
        return;
    udp_frame lost;
    while (reassembly_give_up(&replay->fragments, now_us, &lost) == 1) {
        int place = lost.addressed ? capture_stream_of(&replay->streams, &lost) : -1;
        if (place == NEW_STREAM)
            place = capture_stream_add_found(&replay->streams, &lost, replay->now_us);
        if (place >= 0)
            replay->state->watched.streams[place].fragmented++;
    }
}

// Reads ahead to the next datagram of a stream, counting what is not one to judge; unless
// may_wait, not where the input would wait for its writer. Returns whether there is one.
static bool read_ahead(replay_reader *replay, bool may_wait)
{
    while (!replay->have_next && !replay->ended && !replay->failed) {
        if (!may_wait && replay->file.may_wait && capture_would_wait(&replay->file))
            break;
        const unsigned char *bytes = nullptr;
        size_t captured = 0;
        uint64_t at_us = 0;
        int status = capture_next(&replay->file, &bytes, &captured, &at_us);
        if (status <= 0) {
            replay->ended = status == 0;
            replay->failed = status < 0;
            count_given_up(replay, UINT64_MAX);
            break;
        }
        replay->frames++;
        uint64_t own_us, clock_us;
        frame_times(replay, at_us, &own_us, &clock_us);
        udp_frame *frame = &replay->next;
        decode_frame(replay->file.link, bytes, captured, frame);
        bool whole = frame->kind != FRAME_FRAGMENT ||
                     reassembly_add(&replay->fragments, frame, own_us, frame) == 1;
        count_given_up(replay, own_us);
        if (!whole || !frame->addressed)
            continue;
        int place = capture_stream_of(&replay->streams, frame);
        // What is counted, never judged, makes its stream at once.
        if (place == NEW_STREAM && (frame->kind == FRAME_TRUNCATED ||
                                    !number_captured(&replay->state->options->layout, frame)))
            place = capture_stream_add_found(&replay->streams, frame, replay->now_us);
        if (place == NEW_STREAM) {
            replay->next_us = clock_us;
            replay->next_utc_us = own_us;
            replay->next_stream = place;
            replay->have_next = true;
            break;
        }
        if (place < 0)
            continue;
        stream_state *stream = &replay->state->watched.streams[place];
        if (frame->kind == FRAME_TRUNCATED || !number_captured(&stream->config->layout, frame)) {
            stream->truncated++;
            continue;
        }
        replay->next_us = clock_us;
        replay->next_utc_us = own_us;
        replay->next_stream = place;
        replay->have_next = true;
    }
    return replay->have_next;
}

static void set_clock(replay_reader *replay, uint64_t now_us)
{
    // A capture's times may step back (frames of other interfaces merged): the clock does not.
    if (now_us > replay->now_us)
        replay->now_us = now_us;
}

// The clock moves on by the limit where the next timer comes before the next datagram; else
// the receive moves it on as it hands datagrams over. At the end the receive says so.
static int capture_wait(void *context, wait_set *, int64_t limit_us, int *ready, int)
{
    replay_reader *replay = static_cast<replay_reader *>(context);
    uint64_t now_us = replay->now_us;
    if (read_ahead(replay, true) && limit_us >= 0 && replay->next_us > now_us + uint64_t(limit_us)) {
        set_clock(replay, now_us + uint64_t(limit_us));
        return 0;
    }
    replay->horizon_us = limit_us < 0 ? UINT64_MAX : now_us + uint64_t(limit_us);
    ready[0] = 0;
    return 1;
}

// The datagrams up to the horizon, each with its stream and its own time; the clock then
// stands at the latest time read.
static int capture_receive(void *context, socket_handle, received_datagram *datagrams, int count,
                           bool wait)
{
    replay_reader *replay = static_cast<replay_reader *>(context);
    // A receive that may wait reads on until a datagram comes, however long the input takes.
    if (wait) {
        replay->horizon_us = UINT64_MAX;
        read_ahead(replay, true);
    }
    int taken = 0;
    uint64_t clock_us = 0;
    // Where the input would wait, the batch ends: what it holds is written out before. After
    // an interrupt nothing more is read; what was is taken.
    while (taken < count && (replay->have_next || !interrupted) && read_ahead(replay, false) &&
           replay->next_us <= replay->horizon_us) {
        if (replay->next_stream == NEW_STREAM)
            replay->next_stream = capture_stream_add_found(&replay->streams, &replay->next, replay->now_us);
        received_datagram *datagram = &datagrams[taken];
        size_t copied = replay->next.captured_bytes < datagram->size ? replay->next.captured_bytes
                                                                    : datagram->size;
        memcpy(datagram->buffer, replay->next.payload, copied);
        // What the snap length cut off past the number reads as zero.
        size_t whole = replay->next.length_bytes < datagram->size ? replay->next.length_bytes
                                                                 : datagram->size;
        if (whole > copied)
            memset(datagram->buffer + copied, 0, whole - copied);
        datagram->length_bytes = static_cast<int>(replay->next.length_bytes);
        datagram->from = replay->next.source;
        datagram->have_destination = true;
        datagram->destination = replay->next.destination;
        datagram->have_drop_count = false;
        datagram->have_arrival = true;
        datagram->arrival_utc_us = replay->next_utc_us;
        // Its own time, not the clock's: a copy stamped before another line's but written
        // after it came first, and the feed measures each line's time behind from it.
        datagram->at_us = replay->next_utc_us;
        if (replay->next_us > clock_us)
            clock_us = replay->next_us;
        datagram->stream = replay->next_stream;
        taken++;
        replay->have_next = false;
        replay->taken++;
    }
    if (taken > 0) {
        // The run has come as far as the batch's last datagram.
        set_clock(replay, clock_us);
        return taken;
    }
    return replay->ended || replay->failed ? RECEIVE_END : RECEIVE_WOULD_BLOCK;
}

static void no_nap(void *, int64_t)
{
}

static uint64_t capture_clock_us(void *context)
{
    return static_cast<const replay_reader *>(context)->now_us;
}

// A capture knows nothing of this host's drops.
static int no_drops(void *, socket_handle, uint32_t *)
{
    return 0;
}

// Everything read before the pipe went quiet was taken: the summary is of all of it, and is
// written out at once, as the wait goes on.
static void answer_while_waiting(void *context)
{
    run_state *state = static_cast<replay_reader *>(context)->state;
    answer_summary_request(state);
    if (flush_output(state) < 0)
        state->failed = true;
}

replay_reader *replay_make(void)
{
    replay_reader *replay = static_cast<replay_reader *>(calloc(1, sizeof(replay_reader)));
    if (replay == nullptr)
        log_line(stderr, "error", "Out of memory for reading a capture");
    return replay;
}

void replay_free(replay_reader *replay)
{
    free(replay);
}

loop_calls replay_loop_calls(replay_reader *replay)
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
                      .rejoin = nullptr,  // a capture joins nothing (--rejoin is refused)
                      .find_interface = nullptr,
                      .context = replay};
}

// The streams named on the command line or in the config: their groups, ports and sources.
// Returns 0, or -1 after an error line.
static int resolve_named_streams(replay_reader *replay, run_state *state)
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
        capture_streams_add(&replay->streams, place);
    }
    return 0;
}

int open_replay(replay_reader *replay, run_state *state)
{
    capture_streams_start(&replay->streams, state);
    reassembly_reset(&replay->fragments);
    replay->state = state;
    replay->ended = false;
    replay->failed = false;
    replay->have_next = false;
    replay->now_us = 0;
    replay->frames = 0;
    replay->latest_us = 0;
    replay->step_back_us = 0;
    replay->taken = 0;
    state->from_capture = true;
    state->needs.stamps_arrivals = true;
    state->judging.stamps = true;
    // One receiver stands for the file: the capture says whose each datagram is.
    state->receive.receivers[0] = receiver{};
    state->receive.receiver_count = 1;
    capture_waiting waiting = {answer_while_waiting, replay};
    if (resolve_named_streams(replay, state) < 0 ||
        capture_open(&replay->file, state->options->read_path, &interrupted, &waiting) < 0)
        return -1;
    replay->open = true;
    state->receive.open_count = 1;
    // The run starts at the first datagram's time; where there is none, at the first frame's,
    // or in a file with no frame at all, now.
    if (read_ahead(replay, true))
        set_clock(replay, replay->next_us);
    else
        set_clock(replay, replay->frames > 0 ? replay->latest_us : clock_utc_us());
    return 0;
}

bool replay_failed(const replay_reader *replay)
{
    return replay->failed;
}

void report_replay_end(const replay_reader *replay, const run_state *state)
{
    if (replay->streams.unwatched > 0)
        log_line(stderr, "error", "Not watched: %llu datagrams of groups past the %dth",
                 static_cast<unsigned long long>(replay->streams.unwatched), CAPTURE_STREAMS_MAX);
    if (replay->taken > 0 || replay->failed)
        return;
    if (replay->streams.finds_streams)
        log_line(stderr, "error", "No multicast datagram in %s: to read a unicast stream, name "
                 "it (<host> <port>)", state->options->read_path);
    else
        log_line(stderr, "error", "No datagram of the named %s in %s",
                 state->watched.stream_count == 1 ? "stream" : "streams", state->options->read_path);
}

// The error line of a fault comes after the lines of what was read before it, and before the
// summary.
void close_replay(replay_reader *replay, run_state *state)
{
    if (replay->failed && flush_output(state) == 0)
        capture_say_stop(&replay->file);
    if (replay->open)
        capture_close(&replay->file);
    replay->open = false;
    state->receive.open_count = 0;
}
