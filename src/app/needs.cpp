#include "app/needs.h"

run_needs needs_of(const settings *options, const stream_settings *streams, int stream_count)
{
    run_needs needs = {};
    bool accounts = options->verbose || options->summary || options->json ||
                    renders_metrics(options) || options->have_max_lost ||
                    options->report_path != nullptr;
    bool sent_at = false;
    for (int i = 0; i < stream_count; i++)
        sent_at = sent_at || streams[i].have_sent_at;
    needs.counts_drops = accounts;
    // A verdict reads counts alone; every other account shows outages or the times between
    // datagrams somewhere (the page and the file as much as the summary).
    needs.stamps_arrivals = options->verbose || options->summary || options->json ||
                            renders_metrics(options) || options->report_path != nullptr ||
                            sent_at;
    needs.prints_summary = options->verbose || options->summary || options->json;
    needs.hears_queries = options->read_path == nullptr &&
                          (options->verbose || options->json || renders_metrics(options) ||
                           options->top || options->querier_timeout_given);
    return needs;
}
