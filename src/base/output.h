// Standard output, buffered by the tool itself. A write that an interrupt or a full pipe cuts
// short keeps what it did not write, so a reader gets whole lines, in order; the C library's
// own buffer drops them instead. After an interrupt, a reader that reads nothing for
// OUTPUT_STALL_LIMIT_US holds the stop no longer: the flush then fails with ETIMEDOUT.
#pragma once

#include <stddef.h>

#define OUTPUT_STALL_LIMIT_US 2000000

// Adds data to what standard output holds, writing out a full buffer first. A failed write
// is kept for output_take_error.
void output_write(const char *data, size_t length);

// Writes out everything held. Returns 0, or the errno of the failure (ETIMEDOUT: a stopping
// run's reader read nothing for OUTPUT_STALL_LIMIT_US); what was not written is dropped then,
// so that a later line is not held up by it again.
int output_flush(void);

// The errno of the first write that failed inside output_write since the last call, or 0.
int output_take_error(void);

// While a full-screen view owns the terminal (--top), what is written is dropped: the view
// shows what the lines would say, and a line would tear its picture.
void output_drop_while_viewed(bool dropping);
