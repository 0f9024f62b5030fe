// The part of a transport stream's judgement that reads sections: the PAT, the PMTs it names
// and the PIDs they name, each timed on the datagrams' clock. For ts.cpp alone.
#pragma once

#include <stdint.h>

#include "monitor/ts.h"

// Counts the error and hands it on.
void ts_report_error(ts_stream *ts, ts_report report, void *context, const ts_error *error);

// A packet of PID 0 or of a PMT's PID: repeat is a legal repeat of the last (its bytes read
// already), broken a break in its counter (a section open on it is given up).
void ts_take_psi_packet(ts_stream *ts, const unsigned char *packet, int pid, bool repeat,
                        bool broken, uint64_t now_us, ts_report report, void *context);

// Says each absence past its limit at now_us, and finds when the next can pass.
void ts_say_absences(ts_stream *ts, uint64_t now_us, ts_report report, void *context);
