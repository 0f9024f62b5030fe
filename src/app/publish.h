// Publishing the metrics: the file of --prom, written whole and renamed, and the page that
// --listen serves, published whole for the server's thread to answer from.
#pragma once

#include "app/loop.h"

// Renders every stream's series and every feed's, and writes them to the file or publishes
// them as the page. Returns 0, or -1 after an error line.
int write_run_metrics(run_state *state);

// With --listen: the page's socket, listening before anything is joined, so that a port in
// use fails the run first. Returns 0, or -1 after an error line.
int open_metrics_server(run_state *state);

void close_metrics_server(run_state *state);

// Renders the report page of the run so far into text: its streams, feeds and timelines, with
// status as the verdict (refresh_seconds: a served page's reload, 0 for a file).
void render_run_report(run_state *state, text_buffer *text, int status, int refresh_seconds,
                       const char *cut);

// With --report: renders the page and writes it whole to the file; cut says where a capture's
// reading stopped at a fault (null: it was read whole). Returns 0, or -1 after an error line.
int write_run_report(run_state *state, int status, const char *cut);

// How often a served report reloads itself.
#define REPORT_REFRESH_SECONDS 5

// With --listen and --report: draws the page of the run so far for the server, where a client
// asked for it since the last time.
void publish_run_report(run_state *state);
