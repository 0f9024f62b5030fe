// The metrics page summed per stream against the page per sender: each counter is its senders'
// sum, each gauge of a time their latest or longest, and nothing else on the page changes.
#include "output/metrics.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "net/address.h"

namespace {

struct series_key {
    std::string name;
    std::string stream;
    std::string sender;  // "" where the series has none
    auto operator<=>(const series_key &) const = default;
};

std::string label_of(const std::string &labels, const char *name)
{
    std::string start = std::string(name) + "=\"";
    size_t at = labels.find(start);
    if (at == std::string::npos)
        return "";
    at += start.size();
    return labels.substr(at, labels.find('"', at) - at);
}

// The page's samples, and each family's type.
std::map<series_key, double> samples_of(const text_buffer *page, std::map<std::string, std::string> *types)
{
    std::map<series_key, double> samples;
    std::istringstream lines(std::string(page->data, page->length));
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("# TYPE ", 0) == 0) {
            std::istringstream words(line.substr(7));
            std::string name, type;
            words >> name >> type;
            (*types)[name] = type;
        }
        if (line.empty() || line[0] == '#')
            continue;
        size_t space = line.rfind(' ');
        std::string head = line.substr(0, space);
        series_key key = {head.substr(0, head.find('{')), label_of(head, "stream"),
                          label_of(head, "sender")};
        if (key.name.find("_bucket") != std::string::npos)
            key.sender = label_of(head, "le");
        EXPECT_TRUE(samples.emplace(key, std::stod(line.substr(space + 1))).second) << line;
    }
    return samples;
}

TEST(Metrics, AStreamsSeriesSumItsSendersAndLeaveTheRestOfThePageAsItWas)
{
    // Stream a: three senders, with holes, a late number, a duplicate and outages; stream b
    // not heard yet.
    auto table = std::make_unique<sender_table>();
    ASSERT_EQ(senders_open(table.get(), 60000000, 2), 0);
    seq_layout layout = classic_layout(false);
    seq_rules rules = rules_for_layout(&layout);
    struct sent {
        const char *sender;
        int64_t seq;
        uint64_t at_us;
    };
    const sent datagrams[] = {{"10.0.0.1", 1, 100}, {"10.0.0.1", 2, 200}, {"10.0.0.1", 5, 900},
                              {"10.0.0.1", 4, 950}, {"10.0.0.2", 7, 300}, {"10.0.0.2", 7, 400},
                              {"10.0.0.2", 9, 4000}, {"10.0.0.3", 1, 500}};
    for (const sent &d : datagrams) {
        endpoint from;
        int code;
        ASSERT_EQ(find_host(d.sender, AF_INET, &from, &code), 0);
        endpoint_set_port(&from, 40000);
        sender_entry *entry = find_sender(table.get(), 0, &from, nullptr, &rules, d.at_us);
        if (track(&entry->track, d.seq, 1, 12, nullptr) == SEQ_GAP)
            track_outage(&entry->track, d.at_us - entry->last_utc_us);
        entry->last_utc_us = d.at_us;
    }
    endpoint group;
    int code;
    ASSERT_EQ(find_host("239.1.2.3", AF_INET, &group, &code), 0);
    endpoint_set_port(&group, 5000);
    text_buffer pages[2] = {};
    std::map<series_key, double> samples[2];
    std::map<std::string, std::string> types;
    run_snapshot snapshot;
    ASSERT_EQ(snapshot_open(&snapshot, table.get(), 2), 0);
    snapshot_senders(&snapshot, table.get(), 2);
    static const join_watch join = {};
    for (int v = 0; v < 2; v++) {
        snapshot.streams[v].host_drops_counted = true;
        snapshot.streams[v].host_drops = 3;
        snapshot.streams[v].join = &join;
    }
    for (int summed = 0; summed < 2; summed++) {
        metrics_view views[2];
        for (int v = 0; v < 2; v++)
            views[v] = {&snapshot.streams[v], v == 0 ? "a" : "b", nullptr, &group, nullptr,
                        nullptr, 1000000, &layout, summed == 1, false};
        render_metrics(&pages[summed], views, 2, nullptr, 0, nullptr, nullptr);
        samples[summed] = samples_of(&pages[summed], &types);
    }
    std::map<series_key, double> expected;
    for (const auto &[key, value] : samples[0]) {
        series_key stream_key = {key.name, key.stream, ""};
        if (key.name == "mcwatch_last_sequence")
            continue;
        if (key.sender.empty() || types[key.name] == "counter")
            expected[stream_key] += value;
        else
            expected[stream_key] = std::max(expected[stream_key], value);
    }
    EXPECT_EQ(samples[1], expected);
    // A family of each: what the sums above compare is there at all.
    EXPECT_EQ(samples[0].count({"mcwatch_missed_total", "a", "10.0.0.1:40000"}), 1u);
    EXPECT_EQ(expected[(series_key{"mcwatch_missed_total", "a", ""})], 3);
    EXPECT_EQ(expected[(series_key{"mcwatch_duplicates_total", "a", ""})], 1);
    EXPECT_EQ(expected[(series_key{"mcwatch_late_total", "a", ""})], 1);
    EXPECT_NEAR(expected[(series_key{"mcwatch_last_datagram_timestamp_seconds", "a", ""})],
                0.004, 1e-9);
    EXPECT_NEAR(expected[(series_key{"mcwatch_longest_outage_seconds", "a", ""})], 0.0036, 1e-9);
    // What a stream costs: 11 series a sender, or 10 summed, beside its start and drops;
    // b, not heard yet, has those two alone.
    int series[2][2] = {};
    for (int summed = 0; summed < 2; summed++)
        for (const auto &[key, value] : samples[summed])
            series[summed][key.stream == "b"]++;
    EXPECT_EQ(series[0][0], 3 * 11 + 2);
    EXPECT_EQ(series[1][0], 10 + 2);
    EXPECT_EQ(series[0][1], 2);
    EXPECT_EQ(series[1][1], 2);
    for (text_buffer &page : pages)
        text_free(&page);
    snapshot_close(&snapshot);
    senders_close(table.get());
}

// A transport stream's series: packets per PID with the rest as "other", each PID's breaks by
// the causes its layout can give (not the null PID's), and every check's errors.
TEST(Metrics, ATransportStreamsSeriesAddUpToItsCounts)
{
    seq_layout layouts[2];
    ASSERT_EQ(find_layout_preset("rtp-mpegts", &layouts[0]), 0);
    ASSERT_EQ(find_layout_preset("mpegts", &layouts[1]), 0);
    ts_counts n = {};
    n.packets = 100;
    n.listed = 2;
    n.listed_pids[0] = {256, 60, 3, {2, 1, 0}};
    n.listed_pids[1] = {TS_NULL_PID, 30, 0, {}};
    n.errors[TS_CONTINUITY] = 3;
    n.errors[TS_PAT] = 4;
    n.errors[TS_PID] = 1;
    endpoint group;
    int code;
    ASSERT_EQ(find_host("239.1.2.3", AF_INET, &group, &code), 0);
    static const join_watch join = {};
    stream_snapshot figures[2] = {};
    metrics_view views[2];
    for (int v = 0; v < 2; v++) {
        figures[v].host_drops_counted = true;
        figures[v].join = &join;
        figures[v].ts = &n;
        views[v] = {&figures[v], v == 0 ? "a" : "b", nullptr, &group, nullptr, nullptr, 1000000,
                    &layouts[v], false, false};
    }
    text_buffer page = {};
    render_metrics(&page, views, 2, nullptr, 0, nullptr, nullptr);
    std::multiset<std::string> said;
    std::istringstream lines(std::string(page.data, page.length));
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("mcwatch_ts_", 0) == 0)
            said.insert(line.substr(0, line.find('{')) + " " + label_of(line, "stream") + " " +
                        label_of(line, "pid") + label_of(line, "cause") +
                        label_of(line, "check") + " " + line.substr(line.rfind(' ') + 1));
    std::multiset<std::string> expected;
    for (const char *stream : {"a", "b"}) {
        std::string packets = std::string("mcwatch_ts_packets_total ") + stream + " ";
        expected.insert({packets + "256 60", packets + "8191 30", packets + "other 10"});
        std::string errors = std::string("mcwatch_ts_errors_total ") + stream + " ";
        expected.insert({errors + "continuity 3", errors + "sync_byte 0", errors + "sync_loss 0",
                         errors + "pat 4", errors + "pmt 0", errors + "pid 1"});
    }
    expected.insert({"mcwatch_ts_continuity_errors_total a 256network 2",
                     "mcwatch_ts_continuity_errors_total a 256source 1",
                     "mcwatch_ts_continuity_errors_total b 256unknown 0"});
    EXPECT_EQ(said, expected);
    text_free(&page);
}

} // namespace
