// Reading a capture instead of joining: its frames go through the same loop and accounting as a
// live run's datagrams, on the capture's own time, through a table of loop calls over the file.
// Its wait moves the clock on to the next timer where that comes before the next datagram; its
// receive hands datagrams over, each with its stream and its own time.
#pragma once

#include <stddef.h>

#include "app/capture_streams.h"
#include "app/loop.h"
#include "net/capture.h"

// A capture being read, and the loop's context while it is.
struct replay_reader;

// A reader (its stream table is too large for a stack), or null after an error line.
replay_reader *replay_make(void);
void replay_free(replay_reader *replay);

// The loop's calls over the capture the reader reads.
loop_calls replay_loop_calls(replay_reader *replay);

// Opens the capture the options name for the run, whose streams are the command line's or the
// config's, or where it has none are found as the capture names them; the clocks start at its
// first datagram. Returns 0, or -1 after an error line.
int open_replay(replay_reader *replay, run_state *state);

// Whether reading stopped at a fault, after its error line: the run still gives what it read,
// and ends with status 255.
bool replay_failed(const replay_reader *replay);

// Where and why reading stopped at a fault, as its error line says it ("reading stopped at
// frame 81234: truncated dump file"), for the report of what was read.
#define REPLAY_STOP_TEXT_MAX (CAPTURE_STOP_REASON_MAX + 64)
void replay_stop_text(const replay_reader *replay, char *out, size_t size);

// Says what the reading left out: datagrams of groups past CAPTURE_STREAMS_MAX, and a capture
// in which no datagram of a stream was found at all.
void report_replay_end(const replay_reader *replay, const run_state *state);

void close_replay(replay_reader *replay, run_state *state);
