// The table every output renders its counters from: a place given twice, or skipped, would drop
// or reorder a counter in one output without a word.
#include "output/counters.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

TEST(Counters, EachOutputHasItsPlacesOnceInOrderAndANameForEachShownCounter)
{
    for (counter_output_kind kind :
         {COUNTERS_TEXT, COUNTERS_JSON, COUNTERS_METRIC, COUNTERS_VIEW}) {
        SCOPED_TRACE(kind);
        std::set<int> places;
        int shown = 0;
        for (int row = 0; row < COUNTER_ROWS; row++) {
            const counter_output *output = counter_output_of(&counter_rows[row], kind);
            EXPECT_EQ(output->shown == SHOWN_NEVER, output->name == nullptr) << row;
            EXPECT_EQ(output->shown == SHOWN_NEVER, output->place == 0) << row;
            if (output->shown == SHOWN_NEVER)
                continue;
            shown++;
            EXPECT_TRUE(places.insert(output->place).second) << "place " << output->place;
            if (kind == COUNTERS_METRIC) {
                EXPECT_TRUE(counter_rows[row].metric_type != nullptr &&
                            counter_rows[row].metric_help != nullptr) << row;
            }
            if (kind == COUNTERS_VIEW) {
                EXPECT_GE(counter_rows[row].view_width, 4) << row;
            }
        }
        const counter_order *order = counter_order_of(kind);
        ASSERT_EQ(order->count, shown);
        for (int i = 0; i < order->count; i++)
            EXPECT_EQ(counter_output_of(&counter_rows[order->rows[i]], kind)->place, i + 1);
    }
}

// A transport stream's table: every check has its row (its series of mcwatch_ts_errors_total
// and its count in the summary), once, and every row a name in the text and in JSON.
TEST(Counters, EachTransportStreamCheckHasOneRowAndEachRowItsNames)
{
    std::multiset<int> checks;
    std::set<std::string> json;
    for (int i = 0; i < TS_COUNTER_ROWS; i++) {
        const ts_counter_row &row = ts_counter_rows[i];
        EXPECT_TRUE(row.text != nullptr && row.json != nullptr) << i;
        EXPECT_TRUE(json.insert(row.json).second) << row.json;
        if (row.check >= 0)
            checks.insert(row.check);
    }
    for (int check = 0; check < TS_CHECKS; check++)
        EXPECT_EQ(checks.count(check), 1u) << ts_check_name(ts_check(check));
    EXPECT_EQ(checks.size(), size_t(TS_CHECKS));
}

} // namespace
