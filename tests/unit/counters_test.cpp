// The table every output renders its counters from: a place given twice, or skipped, would drop
// or reorder a counter in one output without a word.
#include "output/counters.h"

#include <gtest/gtest.h>

#include <set>

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

} // namespace
