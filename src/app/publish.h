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
