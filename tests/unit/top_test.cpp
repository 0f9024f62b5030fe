// The live view's table: each column's text, the marks, the sort that keeps a feed together,
// and the cut to the screen.
#include "output/top_table.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

namespace {

top_row row(int unit, const char *name, uint64_t lost, bool alarm, double rate = 0)
{
    top_row made = {};
    made.unit = unit;
    snprintf(made.name, sizeof made.name, "%s", name);
    made.figures.counts.lost = lost;
    made.alarm = alarm;
    made.have_rate = rate > 0;
    made.rate_per_s = rate;
    return made;
}

struct line_case {
    top_row row;
    int width;
    const char *line;
    bool ts = false;   // a run with a transport stream: its counters' columns shown
};

const ts_counts four_breaks = [] {
    ts_counts n = {};
    n.errors[TS_CONTINUITY] = 4;
    return n;
}();

top_row full_row()
{
    top_row made = row(0, "orders-A", 27, true, 1000);
    snprintf(made.source, sizeof made.source, "10.0.0.7:40000");
    made.mbit_per_s = 0.512;
    made.figures.counts.received = 3012;
    made.figures.counts.late = 2;
    made.figures.counts.duplicates = 39;
    made.have_drops = true;
    made.drops = 5;
    made.have_seq = true;
    made.last_seq = -1;
    made.have_silent = true;
    made.silent_us = 4321000;
    return made;
}

top_row with(top_row made, void (*change)(top_row *))
{
    change(&made);
    return made;
}

const line_case line_cases[] = {
    {full_row(), 120, "! orders-A            10.0.0.7:40000            1000    0.51       3012      27"
                      "      2     39      5          -1    4.3s"},
    // Cut at the screen's width, never wrapped; the name keeps its least room.
    {full_row(), 40, "! orders-A     10.0.0.7:40000"},
    // A feed: numbers, no bits, no duplicates; a count too wide for its column; a row never
    // heard from.
    {with(full_row(), [](top_row *r) { r->feed = true; r->alarm = false; r->source[0] = '\0'; }),
     120, "  orders-A                                      1000       -       3012      27      2"
          "      -      5          -1    4.3s"},
    {with(full_row(), [](top_row *r) { r->seq_unsigned = true; r->silent_us = 754000000;
                                       r->figures.counts.received = 123456789012; }),
     120, "! orders-A            10.0.0.7:40000            1000    0.51 123456789k      27      2"
          "     39      5   18446744T  12m34s"},
    {with(full_row(), [](top_row *r) { r->have_rate = r->have_drops = r->have_seq = false;
                                       r->have_silent = false; r->silent_us = 0; }),
     120, "! orders-A            10.0.0.7:40000               -       -       3012      27      2"
          "     39      -           -       -"},
    // A transport stream's breaks, and "-" for a stream without one in the same view.
    {with(full_row(), [](top_row *r) { r->ts = &four_breaks; }),
     128, "! orders-A            10.0.0.7:40000            1000    0.51       3012      27      2"
          "     39       4      5          -1    4.3s", true},
    {full_row(), 128, "! orders-A            10.0.0.7:40000            1000    0.51       3012      27"
                      "      2     39       -      5          -1    4.3s", true},
};

TEST(TopTable, EachColumnFromItsFigures)
{
    for (const line_case &c : line_cases) {
        char line[512];
        top_line(line, sizeof line, &c.row, c.width, c.ts);
        EXPECT_EQ(std::string(line), c.line);
        EXPECT_LE(strlen(line), static_cast<size_t>(c.width));
    }
    char header[512];
    top_header(header, sizeof header, 120, false);
    EXPECT_EQ(std::string(header), "  STREAM              SOURCE                  RATE/s  MBIT/s   RECEIVED    LOST"
                                   "   LATE    DUP  DROPS    LAST SEQ  SILENT");
    top_header(header, sizeof header, 128, true);
    EXPECT_EQ(std::string(header), "  STREAM              SOURCE                  RATE/s  MBIT/s   RECEIVED    LOST"
                                   "   LATE    DUP  CC ERR  DROPS    LAST SEQ  SILENT");
}

TEST(TopTable, WorstUnitsFirstAndAFeedStaysUnderItsLines)
{
    // Units: a quiet stream; a feed of two lines and its row (one line lost 9); a stream that
    // stands out; a stream with lost 3.
    std::vector<top_row> rows = {row(0, "quiet", 0, false, 10),   row(1, "A", 9, false, 500),
                                 row(1, "B", 0, false, 700),      row(1, "feed f", 0, false),
                                 row(2, "silent", 0, true),       row(3, "lossy", 3, false, 900)};
    struct order_case {
        int sort;
        std::vector<std::string> names;
    } cases[] = {
        {TOP_SORT_WORST, {"silent", "A", "B", "feed f", "lossy", "quiet"}},
        {TOP_SORT_NAME, {"A", "B", "feed f", "lossy", "quiet", "silent"}},
        {TOP_SORT_RATE, {"lossy", "A", "B", "feed f", "quiet", "silent"}},
    };
    for (const order_case &c : cases) {
        std::vector<int> order(rows.size()), scratch(rows.size());
        top_order(rows.data(), static_cast<int>(rows.size()), c.sort, order.data(), scratch.data());
        std::vector<std::string> names;
        for (int place : order)
            names.push_back(rows[static_cast<size_t>(place)].name);
        EXPECT_EQ(names, c.names) << top_sort_name(c.sort);
    }
    // 40 lines hold 38 rows; past that a line says how many more there are.
    EXPECT_EQ(top_rows_shown(38, 40), 38);
    EXPECT_EQ(top_rows_shown(1000, 40), 37);
    EXPECT_EQ(top_rows_shown(5, 2), 0);
    char more[64];
    top_more(more, sizeof more, 963);
    EXPECT_STREQ(more, "... 963 more streams");
}

} // namespace
