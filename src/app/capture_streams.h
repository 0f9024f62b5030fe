// A capture's datagrams by stream: a table by group and port over the run's streams, those the
// command line or the config named, or where none was named, one for each multicast group and
// port as the capture names them. A stream's datagrams come in runs, so the last one's stream
// is kept and the search skipped.
#pragma once

#include <stdint.h>

#include "app/loop.h"
#include "net/address.h"
#include "net/frame.h"

// The most streams a capture read without a stream named may hold: each multicast group and
// port in it is one.
#define CAPTURE_STREAMS_MAX 4096
#define CAPTURE_STREAM_SLOTS 16384
static_assert((CAPTURE_STREAM_SLOTS & (CAPTURE_STREAM_SLOTS - 1)) == 0,
              "CAPTURE_STREAM_SLOTS is a power of two");
static_assert(CAPTURE_STREAM_SLOTS >= 2 * CAPTURE_STREAMS_MAX, "the table is never full");

// capture_stream_of's answer for a group and port met first, whose stream is made when its
// datagram is handed to the run: a stream exists from its first datagram's time on, not from
// when the reading came to it.
#define NEW_STREAM (-2)

struct capture_streams {
    run_state *state;
    bool finds_streams;      // no stream was named: each multicast group and port is one
    uint64_t unwatched;      // datagrams of groups past the streams a capture may hold
    bool have_last;          // the last datagram's group, port and source, and its stream
    endpoint last_group;
    endpoint last_source;
    int last_stream;
    int slots[CAPTURE_STREAM_SLOTS];         // a stream's place + 1; 0 is empty
    int same_key_next[CAPTURE_STREAMS_MAX];  // the next stream of one group and port, or -1
    stream_settings found[CAPTURE_STREAMS_MAX];
    char names[CAPTURE_STREAMS_MAX][ENDPOINT_TEXT_MAX];
};

// Empties the table for the run's streams; those already in the run are added with
// capture_streams_add.
void capture_streams_start(capture_streams *streams, run_state *state);

// Adds the run's stream at place, whose group and port are known.
void capture_streams_add(capture_streams *streams, int place);

// The stream a datagram belongs to: of its group and port, and of its source where the stream
// names one. -1 for none, or NEW_STREAM.
int capture_stream_of(capture_streams *streams, const udp_frame *frame);

// Makes the stream of a group and port met first at now_us: named <group>:<port>, in the
// command line's layout. Returns its place, or -1 when there is no room for more.
int capture_stream_add_found(capture_streams *streams, const udp_frame *frame, uint64_t now_us);
