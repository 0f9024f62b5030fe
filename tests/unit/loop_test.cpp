// The receive loop driven through its seam: scripted socket calls and a sink that records, so
// that the order of receives, waits, datagrams and flushes is seen without a network.
#include "app/loop.h"

#include <gtest/gtest.h>

#include <errno.h>

#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/process.h"
#include "net/address.h"

namespace {

// What the loop did, in order: "recv", "recv+wait", "wait", "datagram 7", "gap", "stats 4/1",
// "flush".
std::vector<std::string> happened;

// One scripted answer of a socket call: a count of datagrams (or a RECEIVE_ or WAIT_ answer,
// or -1), for datagrams whether they went to another address than the group, and how long
// the call took on the loop's clock.
struct answer {
    int result;
    bool to_other_address;
    int64_t took_us;
};
uint64_t clock_now_us;
std::vector<answer> script;
size_t next_answer;
int64_t next_seq;
int interrupt_at_datagram; // the datagram (counted from 1) after which an interrupt comes
int datagrams_seen;
endpoint group, sender, other;

// Past the end of the script the loop is interrupted, so that no test can run for ever.
answer take_answer()
{
    if (next_answer < script.size()) {
        clock_now_us += static_cast<uint64_t>(script[next_answer].took_us);
        return script[next_answer++];
    }
    on_interrupt(SIGINT);
    return {WAIT_ENDED_EARLY, false, 0};
}

int scripted_receive(socket_handle, received_datagram *datagrams, int count, bool wait)
{
    happened.push_back(wait ? "recv+wait" : "recv");
    answer a = take_answer();
    for (int i = 0; i < a.result && i < count; i++) {
        received_datagram *d = &datagrams[i];
        memset(d->buffer, 0, 12);
        int64_t seq = next_seq++;
        memcpy(d->buffer + 4, &seq, sizeof seq); // little-endian on every platform built for
        d->length_bytes = 12;
        d->from = sender;
        d->have_destination = true;
        d->destination = a.to_other_address ? other : group;
    }
    if (a.result == -1)
        errno = ENOMEM;
    return a.result;
}

int scripted_wait(const socket_handle *, int, int64_t)
{
    happened.push_back("wait");
    answer a = take_answer();
    if (a.result == -1)
        errno = ENOMEM;
    return a.result;
}

void scripted_nap(int64_t nap_us)
{
    happened.push_back("nap " + std::to_string(nap_us));
    clock_now_us += static_cast<uint64_t>(nap_us);
}

uint64_t scripted_clock_us()
{
    return clock_now_us;
}

const socket_calls scripted_calls = {scripted_receive, scripted_wait, scripted_nap, 500,
                                     scripted_clock_us};

void on_gap(sink *, const gap_event *)
{
    happened.push_back("gap");
}
void on_datagram(sink *, const datagram_event *event)
{
    happened.push_back("datagram " + std::to_string(event->seq));
    if (++datagrams_seen == interrupt_at_datagram)
        on_interrupt(SIGINT);
}
void on_stats(sink *, const stats_report *report)
{
    happened.push_back("stats " + std::to_string(report->packets) + "/" +
                       std::to_string(report->gaps));
}
int on_flush(sink *)
{
    happened.push_back("flush");
    return 0;
}
sink recording = {.bound = nullptr, .gap = on_gap, .datagram = on_datagram, .stats = on_stats,
                  .classified = nullptr, .summary = nullptr, .receive_buffer = nullptr,
                  .host_drops = nullptr, .stall = nullptr, .resume = nullptr, .joined = nullptr,
                  .left = nullptr, .flush = on_flush};

struct ReceiveLoop : testing::Test {
    settings options = {};
    std::unique_ptr<run_state> state = std::make_unique<run_state>();

    void SetUp() override
    {
        int code;
        ASSERT_EQ(find_host("239.1.2.3", AF_INET, &group, &code), 0);
        ASSERT_EQ(find_host("127.0.0.1", AF_INET, &sender, &code), 0);
        ASSERT_EQ(find_host("127.0.0.9", AF_INET, &other, &code), 0);
        happened.clear();
        next_answer = 0;
        next_seq = 1;
        interrupt_at_datagram = 0;
        datagrams_seen = 0;
        interrupted = 0;
        options.check_gaps = true;
    }
    void TearDown() override
    {
        interrupted = 0;
        restore_standard_output(); // the interrupts here released the test's own output
    }
    // Runs the loop over one receiver with the script; returns its status.
    int run_script(std::vector<answer> answers)
    {
        script = answers;
        run_state_init(state.get(), &options, &scripted_calls, &recording);
        state->receivers[0].request.group = group;
        state->receivers[0].room_bytes = 1 << 20;
        state->receiver_count = 1;
        return receive_loop(state.get());
    }
};

TEST_F(ReceiveLoop, FlushesOnlyWhenEveryQueueIsEmptyAndNapsWhileBusy)
{
    // 66 datagrams queued over 660 us, 100,000 a second: the nap lets 48 queue.
    EXPECT_EQ(run_script({{RECEIVE_BATCH_MAX, false, 600},
                          {2, false, 60},
                          {1, false, 0},
                          {RECEIVE_WOULD_BLOCK, false, 0}}),
              0);
    std::vector<std::string> expected = {"recv"};
    for (int seq = 1; seq <= RECEIVE_BATCH_MAX + 2; seq++) {
        expected.push_back("datagram " + std::to_string(seq));
        // A full batch may have more behind it: the next receive comes at once, no flush.
        if (seq == RECEIVE_BATCH_MAX)
            expected.push_back("recv");
    }
    // A busy batch is followed by a nap, a quiet one (a single datagram) by a wait.
    expected.insert(expected.end(), {"flush", "nap 480", "recv", "datagram 67", "flush",
                                     "recv+wait", "flush", "recv+wait"});
    EXPECT_EQ(happened, expected);
}

TEST_F(ReceiveLoop, AnInterruptBetweenTwoDatagramsOfABatchStopsBeforeTheSecond)
{
    interrupt_at_datagram = 1;
    EXPECT_EQ(run_script({{3, false, 0}}), 0);
    EXPECT_EQ(happened, (std::vector<std::string>{"recv", "datagram 1"}));
}

TEST_F(ReceiveLoop, OnlyAnInterruptEndsTheLoopInOrder)
{
    struct failure_case {
        uint32_t period_us;  // with a timer armed the loop waits apart from its receive
        answer failing;
        int status;
        const char *error;   // the start of the error line, or "" for none
    };
    const failure_case cases[] = {
        // A wait that a signal cut short waits again, and the datagram after it is taken.
        {0, {WAIT_ENDED_EARLY, false, 0}, 0, ""},
        {1000000, {WAIT_ENDED_EARLY, false, 0}, 0, ""},
        {0, {-1, false, 0}, -1, "recv failed: ("},
        {1000000, {-1, false, 0}, -1, "select failed: ("},
    };
    for (const failure_case &c : cases) {
        SetUp();
        options.period_us = c.period_us;
        interrupt_at_datagram = 1;
        testing::internal::CaptureStderr();
        run_state_init(state.get(), &options, &scripted_calls, &recording);
        if (c.period_us != 0)
            timer_arm(&state->stats_timer, clock_monotonic_us() + 3600000000u);
        script = {{RECEIVE_WOULD_BLOCK, false, 0}, c.failing, {1, false, 0}, {1, false, 0}};
        state->receivers[0].request.group = group;
        state->receiver_count = 1;
        EXPECT_EQ(receive_loop(state.get()), c.status) << c.period_us;
        std::string err = testing::internal::GetCapturedStderr();
        std::string message = err.empty() ? "" : err.substr(sizeof "[hh:mm:ss.mmm] [error] " - 1);
        EXPECT_EQ(message.substr(0, strlen(c.error)), c.error) << err;
        EXPECT_EQ(err.empty(), c.error[0] == '\0') << err;
        bool took_datagram = happened.back() == "datagram 1";
        EXPECT_EQ(took_datagram, c.status == 0) << c.period_us;
    }
}

TEST_F(ReceiveLoop, DatagramsToAnotherAddressAreNeitherCountedNorChecked)
{
    interrupt_at_datagram = 2;
    EXPECT_EQ(run_script({{1, false, 0}, {1, true, 0}, {1, false, 0}}), 0);
    // The datagram to the other address took number 2, so 3 shows a gap: the other's number
    // did not count as the previous one.
    EXPECT_EQ(happened, (std::vector<std::string>{"recv", "datagram 1", "flush", "recv+wait",
                                                  "flush", "recv+wait", "gap", "datagram 3"}));
    EXPECT_EQ(state->stats.packets, 2u);
}

TEST_F(ReceiveLoop, StatisticsKeepTheirGridAndPrintOnePerPeriodWhenLate)
{
    options.period_us = 1000;
    run_state_init(state.get(), &options, &scripted_calls, &recording);
    stats_start(&state->stats, 4000);
    timer_arm(&state->stats_timer, state->stats.due_us);
    state->stats.packets = 12;
    state->stats.gaps = 3;
    timers_fire_due(&state->timers, 4999); // not yet due
    timers_fire_due(&state->timers, 8500); // due at 5000, 6000, 7000 and 8000
    EXPECT_EQ(happened, (std::vector<std::string>{"stats 12/3", "stats 0/0", "stats 0/0",
                                                  "stats 0/0"}));
    EXPECT_EQ(timers_wait_limit_us(&state->timers, 8500), 500);
}

} // namespace
