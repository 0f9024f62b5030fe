#include "app/publish.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base/error_text.h"
#include "base/log.h"
#include "base/process.h"
#include "output/report.h"
#include "net/address.h"

// Renders the metrics, every stream's series and every feed's, and writes them to the file or
// publishes them as the page. Returns 0, or -1 after an error line.
int write_run_metrics(run_state *state)
{
    const run_snapshot *snapshot = take_run_snapshot(state);
    metrics_view *views = state->outputs.metric_views;
    for (int i = 0; i < snapshot->stream_count; i++) {
        const stream_state *stream = &state->watched.streams[i];
        const membership_request *request = &stream->request;
        views[i] = {&snapshot->streams[i],
                    stream->config->name,
                    stream->config->feed,
                    &request->group,
                    request->source_specific ? &request->source : nullptr,
                    stream->config->interface_name,
                    state->start_utc_us,
                    &stream->config->layout,
                    state->options->metrics_per_stream,
                    state->options->rejoin_us != 0};
    }
    metrics_self self = {MCWATCH_VERSION, state->start_utc_us};
    metrics_queriers queriers = {&state->queries.queriers, state->queries.interface_names};
    render_metrics(&state->outputs.metrics_text, views, snapshot->stream_count, snapshot->feeds,
                   snapshot->feed_count,
                   state->needs.hears_queries ? &queriers : nullptr,
                   state->outputs.server != nullptr ? &self : nullptr);
    if (state->options->prom_path != nullptr &&
        write_metrics_file(state->options->prom_path, &state->outputs.metrics_text) < 0)
        return -1;
    // A page that ran out of memory half-way is not served; the last whole one stays.
    if (state->outputs.server != nullptr && !state->outputs.metrics_text.failed)
        http_server_publish(state->outputs.server, state->outputs.metrics_text.data, state->outputs.metrics_text.length);
    return 0;
}

// With --listen: the page's socket, listening before anything is joined, so that a port in
// use fails the run first. Returns 0, or -1 after an error line.
int open_metrics_server(run_state *state)
{
    static http_server server;
    const settings *options = state->options;
    state->outputs.server = nullptr;
    if (options->listen_text == nullptr)
        return 0;
    endpoint address;
    int resolver_code = 0;
    if (find_host(options->listen_host, AF_UNSPEC, &address, &resolver_code) < 0) {
        log_line(stderr, "error", "Failed to listen on %s: no such address", options->listen_text);
        return -1;
    }
    endpoint_set_port(&address, options->listen_port);
    if (http_server_open(&server, &address, "/metrics") < 0) {
        int code = socket_last_error();
        // A code the system has no words for (Wine has none for some) is said as such.
        char reason[256] = "unknown error";
        if (!socket_error_text(code, reason, sizeof reason))
            snprintf(reason, sizeof reason, "unknown error");
        char where[ENDPOINT_TEXT_MAX];
        format_endpoint(where, &address);
        log_line(stderr, "error", "Failed to listen on %s: (%d) %s", where, code, reason);
        return -1;
    }
    state->outputs.server = &server;
    if (options->report_path != nullptr) {
        // Drawn once a second while someone looks; until the first, a page that looks again.
        static const char first_page[] =
            "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><meta "
            "http-equiv=\"refresh\" content=\"1\"><title>mcwatch report</title></head><body>"
            "<p>The report is being drawn.</p></body></html>\n";
        http_server_serve_report(&server, "/");
        http_server_publish_report(&server, first_page, sizeof first_page - 1);
    }
    return 0;
}

void close_metrics_server(run_state *state)
{
    if (state->outputs.server != nullptr)
        http_server_close(state->outputs.server);
    state->outputs.server = nullptr;
}

// The command line as given, each argument that holds a blank or a quote in single quotes.
static void put_command_line(text_buffer *out, const settings *options)
{
    for (int i = 0; i < options->argc; i++) {
        const char *argument = options->argv[i];
        if (i > 0)
            text_putc(out, ' ');
        bool quote = argument[0] == '\0' || strpbrk(argument, " \t\"'") != nullptr;
        if (quote)
            text_putc(out, '\'');
        text_puts(out, argument);
        if (quote)
            text_putc(out, '\'');
    }
    text_putc(out, '\0');
}

void render_run_report(run_state *state, text_buffer *text, int status, int refresh_seconds,
                       const char *cut)
{
    read_all_drops(state);
    int count = state->watched.stream_count;
    report_stream *streams = static_cast<report_stream *>(calloc(static_cast<size_t>(count) + 1, sizeof *streams));
    report_feed *feeds = static_cast<report_feed *>(calloc(static_cast<size_t>(state->watched.feed_count) + 1, sizeof *feeds));
    text_buffer command = {};
    put_command_line(&command, state->options);
    if (streams == nullptr || feeds == nullptr || command.failed) {
        text->failed = true;
    } else {
        for (int i = 0; i < count; i++) {
            const stream_state *stream = &state->watched.streams[i];
            streams[i] = {stream->config->name, stream->config->feed, &stream->request.group,
                          &state->watched.senders, i, &stream->config->layout,
                          state->needs.stamps_arrivals, state->receive.host_drops_counted,
                          stream->host_drops, stream->line,
                          state->needs.stamps_arrivals ? &stream->judge.interarrival : nullptr,
                          stream->config->have_sent_at ? &stream->judge.delays : nullptr};
        }
        for (int f = 0; f < state->watched.feed_count; f++) {
            const feed_record *feed = &state->watched.feeds[f];
            feeds[f] = {feed->name, &feed->state.counts, feed->state.line_count, {},
                        &feed->state.behind, feed->state.max_skew_us != FEED_NO_MAX_SKEW,
                        feed->state.timeline};
            for (int line = 0; line < feed->state.line_count; line++)
                feeds[f].lines[line] = feed->lines[line];
        }
        char host[256];
        this_host_name(host, sizeof host);
        verdict_event verdict;
        verdict_of(state, &verdict);
        report_run run = {command.data, host, state->start_utc_us, utc_now(state),
                          state->from_capture, state->options->have_max_lost ? &verdict : nullptr,
                          status, refresh_seconds, cut};
        render_report(text, &run, streams, count, feeds, state->watched.feed_count);
    }
    text_free(&command);
    free(streams);
    free(feeds);
}

int write_run_report(run_state *state, int status, const char *cut)
{
    text_buffer page = {};
    render_run_report(state, &page, status, 0, cut);
    int written = write_text_file(state->options->report_path, &page);
    text_free(&page);
    return written;
}

void publish_run_report(run_state *state)
{
    http_server *server = state->outputs.server;
    if (server == nullptr || state->options->report_path == nullptr ||
        !http_server_report_asked(server))
        return;
    text_buffer *page = &state->outputs.report_text;
    render_run_report(state, page, 0, REPORT_REFRESH_SECONDS, nullptr);
    // A page that ran out of memory half-way is not served; the last whole one stays.
    if (!page->failed)
        http_server_publish_report(server, page->data, page->length);
}
