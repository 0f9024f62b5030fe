// The report page's order of streams: worst first, as its readers are promised, since only the
// worst streams get a section of their own; and its time axis, readable whatever the run's length.
#include "output/report.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "net/address.h"

namespace {

struct shown_stream {
    const char *name;
    int64_t lost;            // numbers skipped by its one sender
    uint64_t host_drops;
};

struct order_row {
    const char *what;
    std::vector<shown_stream> streams;
    std::string sections;    // the names of the sections, in the page's order
};

// The names the page's sections bear, in its order.
std::string sections_of(const text_buffer *page)
{
    std::string text(page->data, page->length), names;
    for (size_t at = text.find("<section id="); at != std::string::npos;
         at = text.find("<section id=", at + 1)) {
        size_t from = text.find("<h2>", at) + 4;
        names += (names.empty() ? "" : " ") + text.substr(from, text.find("</h2>", from) - from);
    }
    return names;
}

TEST(Report, StreamsComeWorstFirst)
{
    const order_row rows[] = {
        {"more lost first", {{"a", 1, 0}, {"b", 3, 0}, {"c", 0, 0}}, "b a c"},
        {"then more dropped by this host",
         {{"a", 0, 0}, {"b", 0, 7}, {"c", 0, 2}}, "b c a"},
        {"lost before dropped", {{"a", 0, 100}, {"b", 1, 0}}, "b a"},
    };
    endpoint group;
    int code;
    ASSERT_EQ(find_host("239.1.2.3", AF_INET, &group, &code), 0);
    seq_layout layout = classic_layout(false);
    seq_rules rules = rules_for_layout(&layout);
    endpoint from;
    ASSERT_EQ(find_host("10.0.0.1", AF_INET, &from, &code), 0);
    for (const order_row &row : rows) {
        SCOPED_TRACE(row.what);
        int count = static_cast<int>(row.streams.size());
        auto table = std::make_unique<sender_table>();
        ASSERT_EQ(senders_open(table.get(), 60000000, count), 0);
        std::vector<std::unique_ptr<timeline>> lines;
        std::vector<report_stream> streams;
        for (int i = 0; i < count; i++) {
            const shown_stream &shown = row.streams[static_cast<size_t>(i)];
            sender_entry *entry = find_sender(table.get(), i, &from, nullptr, &rules, 100);
            track(&entry->track, 1, 1, 12, nullptr);
            track(&entry->track, 2 + shown.lost, 1, 12, nullptr);
            lines.push_back(std::make_unique<timeline>());
            timeline_start(lines.back().get(), 0, 1000);
            streams.push_back({shown.name, nullptr, &group, table.get(), i, &layout, false, true,
                               shown.host_drops, lines.back().get(), nullptr, nullptr});
        }
        report_run run = {"mcwatch", "host", 0, 1000000, false, nullptr, 0, 0, nullptr};
        text_buffer page = {};
        render_report(&page, &run, streams.data(), count, nullptr, 0);
        EXPECT_EQ(sections_of(&page), row.sections);
        text_free(&page);
        senders_close(table.get());
    }
}

struct axis_row {
    const char *what;
    uint64_t span_us;
    const char *first_tick;  // the label at the run's start
};

TEST(Report, TheTimeAxisSaysTheDayWhereTheRunSpansDays)
{
    const axis_row rows[] = {
        {"seconds: milliseconds", 10000000, ">22:13:20.000<"},
        {"hours: times of day", 7200000000, ">22:13:20<"},
        {"days: each tick's date", 3 * 86400000000ull, ">2023-11-14 22:13<"},
    };
    endpoint group;
    int code;
    ASSERT_EQ(find_host("239.1.2.3", AF_INET, &group, &code), 0);
    seq_layout layout = classic_layout(false);
    const uint64_t start_us = 1700000000000000;  // 2023-11-14T22:13:20Z
    for (const axis_row &row : rows) {
        SCOPED_TRACE(row.what);
        auto table = std::make_unique<sender_table>();
        ASSERT_EQ(senders_open(table.get(), 60000000, 1), 0);
        auto line = std::make_unique<timeline>();
        timeline_start(line.get(), start_us, 1000);
        report_stream stream = {"a", nullptr, &group, table.get(), 0, &layout, false, true, 0,
                                line.get(), nullptr, nullptr};
        report_run run = {"mcwatch", "host", start_us, start_us + row.span_us, false, nullptr, 0, 0, nullptr};
        text_buffer page = {};
        render_report(&page, &run, &stream, 1, nullptr, 0);
        std::string text(page.data, page.length);
        EXPECT_NE(text.find(row.first_tick), std::string::npos);
        text_free(&page);
        senders_close(table.get());
    }
}

} // namespace
