#include "timer/timer.h"

#include <gtest/gtest.h>

#include <string>

#include "timer/clock.h"

namespace {

std::string fired;

void record_a(void *)
{
    fired += "a";
}
void record_b(void *)
{
    fired += "b";
}
void record_c(void *)
{
    fired += "c";
}

struct TimerList : testing::Test {
    void SetUp() override
    {
        timers_clear();
        fired.clear();
    }
    void TearDown() override
    {
        timers_clear();
    }
};

TEST_F(TimerList, FiresInDueOrderAndEqualDueTimesInOrderOfSetting)
{
    timer_set(1, 300, record_a, nullptr);
    timer_set(2, 100, record_b, nullptr);
    timer_set(3, 300, record_c, nullptr);
    timers_fire_due(1000);
    EXPECT_EQ(fired, "bac");
    EXPECT_EQ(timers_wait_limit_us(1000), -1);
}

TEST_F(TimerList, SettingAnArmedIdReplacesIt)
{
    timer_set(1, 100, record_a, nullptr);
    timer_set(1, 200, record_b, nullptr);
    timers_fire_due(1000);
    EXPECT_EQ(fired, "b");
}

TEST_F(TimerList, FiresAtItsDueTimeNotBefore)
{
    timer_set(1, 500, record_a, nullptr);
    timers_fire_due(499);
    EXPECT_EQ(fired, "");
    timers_fire_due(500);
    EXPECT_EQ(fired, "a");
}

TEST_F(TimerList, WaitLimitIsTheTimeToTheEarliestDue)
{
    EXPECT_EQ(timers_wait_limit_us(0), -1);
    timer_set(1, 5000000, record_a, nullptr);
    timer_set(2, 2500000, record_b, nullptr);
    EXPECT_EQ(timers_wait_limit_us(1000000), 1500000);
    EXPECT_EQ(timers_wait_limit_us(2500000), 0);
    EXPECT_EQ(timers_wait_limit_us(9000000), 0);
}

struct rearming {
    uint64_t due_us;
    int calls;
};

void rearm(void *context)
{
    rearming *r = static_cast<rearming *>(context);
    r->calls++;
    r->due_us += 100;
    timer_set(9, r->due_us, rearm, r);
}

TEST_F(TimerList, CallbackThatRearmsWithinNowFiresAgainInTheSameCall)
{
    rearming r = {100, 0};
    timer_set(9, r.due_us, rearm, &r);
    timers_fire_due(450); // due at 100, 200, 300 and 400
    EXPECT_EQ(r.calls, 4);
    EXPECT_EQ(timers_wait_limit_us(450), 50);
}

TEST(Clock, GivesWholeMillisecondsOfUtc)
{
    uint64_t now_us = clock_now_us();
    EXPECT_EQ(now_us % 1000, 0u);
    // Later than 2020-01-01 and earlier than 2100-01-01.
    EXPECT_GT(now_us, 1577836800000000u);
    EXPECT_LT(now_us, 4102444800000000u);
    time_of_day now;
    clock_time_of_day(&now);
    EXPECT_TRUE(now.hour >= 0 && now.hour < 24 && now.minute >= 0 && now.minute < 60 &&
                now.second >= 0 && now.second < 61 && now.millisecond >= 0 &&
                now.millisecond < 1000);
}

} // namespace
