#include "timer/timer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/clock.h"

namespace {

// A timer that writes its letter into a shared record when it fires.
struct lettered {
    std::string *fired;
    char letter;
};

void record(void *context, uint64_t)
{
    lettered *l = static_cast<lettered *>(context);
    *l->fired += l->letter;
}

struct TimerSet : testing::Test {
    timer_set set = {};
    timer a, b, c;
    std::string fired;
    lettered letters[3] = {{&fired, 'a'}, {&fired, 'b'}, {&fired, 'c'}};
    void SetUp() override
    {
        timer_add(&set, &a, record, &letters[0]);
        timer_add(&set, &b, record, &letters[1]);
        timer_add(&set, &c, record, &letters[2]);
    }
};

TEST_F(TimerSet, FiresInDueOrderAndEqualDueTimesInOrderOfAdding)
{
    timer_arm(&c, 300);
    timer_arm(&b, 100);
    timer_arm(&a, 300);
    timers_fire_due(&set, 1000);
    EXPECT_EQ(fired, "bac");
    EXPECT_EQ(timers_wait_limit_us(&set, 1000), -1);
}

TEST_F(TimerSet, ArmingAgainReplacesTheDueTime)
{
    timer_arm(&a, 100);
    timer_arm(&a, 200);
    timers_fire_due(&set, 150);
    EXPECT_EQ(fired, "");
    timers_fire_due(&set, 200);
    EXPECT_EQ(fired, "a");
}

TEST_F(TimerSet, WaitLimitIsTheTimeToTheEarliestDue)
{
    EXPECT_EQ(timers_wait_limit_us(&set, 0), -1);
    EXPECT_FALSE(timers_armed(&set)); // nothing armed: the loop does not even read the clock
    a.coarse = true;
    timer_arm(&a, 5000000);
    EXPECT_TRUE(timers_armed(&set));
    EXPECT_FALSE(timers_fine_armed(&set)); // a coarse one alone: not between datagrams
    timer_arm(&b, 2500000);
    EXPECT_TRUE(timers_fine_armed(&set));
    EXPECT_EQ(timers_wait_limit_us(&set, 1000000), 1500000);
    EXPECT_EQ(timers_wait_limit_us(&set, 2500000), 0);
    EXPECT_EQ(timers_wait_limit_us(&set, 9000000), 0);
}

struct rearming {
    timer own;
    std::vector<uint64_t> dues;
};

void rearm(void *context, uint64_t due_us)
{
    rearming *r = static_cast<rearming *>(context);
    r->dues.push_back(due_us);
    timer_arm(&r->own, due_us + 100);
}

TEST(TimerRearming, ATimerThatRearmsWithinNowFiresAgainInTheSameCall)
{
    timer_set set = {};
    rearming r = {};
    timer_add(&set, &r.own, rearm, &r);
    timer_arm(&r.own, 100);
    timers_fire_due(&set, 450);
    // Each firing is told when it fell due, not the time it was looked at.
    EXPECT_EQ(r.dues, (std::vector<uint64_t>{100, 200, 300, 400}));
    EXPECT_EQ(timers_wait_limit_us(&set, 450), 50);
}

TEST(Clock, GivesUtcAndTheTimeOfDay)
{
    uint64_t now_us = clock_utc_us();
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
