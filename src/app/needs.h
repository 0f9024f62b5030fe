// What a run must measure, decided once from its settings: the receivers, the loop and the
// end of the run ask here, so that every output that shows a figure has it measured.
#pragma once

#include "app/app.h"

struct run_needs {
    bool counts_drops;       // senders are accounted for: what this host dropped is counted
    bool stamps_arrivals;    // each datagram's time of arrival is kept: outages, rates, the
                             // times between datagrams, delays
    bool prints_summary;     // the summary at the end
    bool hears_queries;      // a live run's outputs say which queriers its links have
};

// From the settings and the streams the run watches (their --sent-at).
run_needs needs_of(const settings *options, const stream_settings *streams, int stream_count);
