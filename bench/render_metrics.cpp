// The metrics page alone, for weighing --metrics-per: renders STREAMS streams of SENDERS
// senders each (their counts made by real datagrams) ROUNDS times a mode, and prints each
// mode's CPU time a render, its size and its series.
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "net/address.h"
#include "output/metrics.h"

static const char *const usage = "usage: render_metrics [streams [senders [rounds]]]\n";

static int fill_table(sender_table *table, int streams, int senders, const seq_rules *rules)
{
    for (int stream = 0; stream < streams; stream++)
        for (int s = 0; s < senders; s++) {
            endpoint from;
            char host[32];
            int code;
            snprintf(host, sizeof host, "10.%d.%d.%d", s, stream / 256, stream % 256);
            if (find_host(host, AF_INET, &from, &code) < 0)
                return -1;
            endpoint_set_port(&from, 40000);
            sender_entry *entry = find_sender(table, stream, &from, nullptr, rules, 1);
            for (int64_t seq = 1; seq <= 100; seq += seq % 10 == 0 ? 2 : 1)
                track(&entry->track, seq, 1, 64, nullptr);
            entry->last_utc_us = 1700000000000000u;
        }
    return 0;
}

int main(int argc, char **argv)
{
    int streams = argc > 1 ? atoi(argv[1]) : 1000;
    int senders = argc > 2 ? atoi(argv[2]) : 1;
    int rounds = argc > 3 ? atoi(argv[3]) : 100;
    if (streams < 1 || streams > 4096 || senders < 1 || senders > 255 || rounds < 1) {
        fputs(usage, stderr);
        return 2;
    }
    static sender_table table;
    if (senders_open(&table, 60000000, streams) < 0)
        return 1;
    seq_layout layout = classic_layout(false);
    seq_rules rules = rules_for_layout(&layout);
    endpoint group;
    int code;
    static metrics_view views[4096];
    static histogram interarrival;
    if (fill_table(&table, streams, senders, &rules) < 0 ||
        find_host("239.1.2.3", AF_INET, &group, &code) < 0)
        return 1;
    endpoint_set_port(&group, 5000);
    static run_snapshot snapshot;
    if (snapshot_open(&snapshot, &table, streams) < 0)
        return 1;
    static const join_watch join = {};
    text_buffer page = {};
    for (int summed = 0; summed < 2; summed++) {
        for (int v = 0; v < streams; v++)
            views[v] = {&snapshot.streams[v], nullptr, nullptr, &group, nullptr, nullptr,
                        1700000000000000u, &layout, summed == 1, false};
        // A render is timed with the snapshot it reads, taken as the run takes one each time.
        clock_t start = clock();
        for (int round = 0; round < rounds; round++) {
            snapshot_senders(&snapshot, &table, streams);
            for (int v = 0; v < streams; v++) {
                snapshot.streams[v].host_drops_counted = true;
                snapshot.streams[v].interarrival = &interarrival;
                snapshot.streams[v].join = &join;
            }
            render_metrics(&page, views, streams, nullptr, 0, nullptr, nullptr);
        }
        double cpu_ms = 1000.0 * static_cast<double>(clock() - start) / CLOCKS_PER_SEC / rounds;
        long series = 0;
        for (size_t i = 0; i < page.length; i++)
            series += page.data[i] == '\n' && i + 1 < page.length && page.data[i + 1] != '#';
        printf("--metrics-per %-6s %d streams x %d senders: %.2f ms CPU a render, %zu bytes, "
               "%ld series\n", summed ? "stream" : "sender", streams, senders, cpu_ms,
               page.length, series + (page.data[0] != '#'));
    }
    text_free(&page);
    snapshot_close(&snapshot);
    senders_close(&table);
    return 0;
}
