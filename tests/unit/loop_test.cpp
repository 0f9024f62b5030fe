// The receive loop driven through its seam: scripted calls to the outside world (sockets, clock,
// drop counts) and a sink that records, so that the order of receives, waits, datagrams, flushes
// and reports is seen without a network.
#include "app/loop.h"
#include "app/timers.h"

#include <gtest/gtest.h>

#include <errno.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/process.h"
#include "net/address.h"

namespace {

// What the loop did, in order: "recv", "recv+wait", "wait", "datagram 7", "gap", "stats 4/1",
// "stats 4/1 drops 3" (where host drops are counted), "stall 300", "resume 500", "flush".
std::vector<std::string> happened;

// One scripted answer of a socket call: a count of datagrams (or a RECEIVE_ or WAIT_ answer,
// or -1), for datagrams whether they went to another address than the group, how long the
// call took on the loop's clock (a clock that steps back takes less than nothing), and the
// socket's drop count that its datagrams carry (-1: none).
struct answer {
    int result;
    bool to_other_address;
    int64_t took_us;
    int64_t drop_count = -1;
    int64_t spread_us = 0;  // the datagrams arrived evenly over this long before the receive
};
uint64_t loop_clock_us;
std::vector<answer> script;
std::vector<uint32_t> drop_reads; // what each outright read of the drop count gives, in turn
size_t next_answer;
int64_t next_seq;
int interrupt_at_datagram; // the datagram (counted from 1) after which an interrupt comes
int summary_at_datagram;   // the datagram after which a summary is asked for (SIGUSR1)
int hold_at_datagram;      // the datagram after which the process is held up (stopped) ...
int64_t hold_us;           // ... for this long on the loop's clock
int datagrams_seen;
endpoint group, sender, other;
// Where set for a socket, the datagrams of its receives go to these groups in turn instead.
std::vector<std::vector<endpoint>> destinations;

// Past the end of the script the loop is interrupted, so that no test can run for ever.
answer take_answer()
{
    if (next_answer < script.size()) {
        loop_clock_us += static_cast<uint64_t>(script[next_answer].took_us);
        return script[next_answer++];
    }
    on_interrupt(SIGINT);
    return {WAIT_ENDED_EARLY, false, 0};
}

int scripted_receive(void *, socket_handle s, received_datagram *datagrams, int count, bool wait)
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
        size_t socket_place = static_cast<size_t>(s);
        if (socket_place < destinations.size())
            d->destination = destinations[socket_place][static_cast<size_t>(i) %
                                                        destinations[socket_place].size()];
        d->have_drop_count = a.drop_count >= 0;
        d->drop_count = static_cast<uint32_t>(a.drop_count);
        // The scripted world stamps each datagram when it arrived: when the receive returns,
        // or spread over a time before.
        d->have_arrival = false;
        d->at_us = loop_clock_us;
        if (a.spread_us > 0 && a.result > 1)
            d->at_us = loop_clock_us - static_cast<uint64_t>(a.spread_us) +
                       static_cast<uint64_t>(a.spread_us * i / (a.result - 1));
        d->arrival_utc_us = 1700000000000000u + loop_clock_us;
        d->stream = -1;
    }
    if (a.result == -1)
        errno = ENOMEM;
    return a.result;
}

// A wait's answer above 0 is how many streams are ready: the first ones, in order.
int scripted_wait(void *, wait_set *, int64_t, int *ready, int ready_max)
{
    happened.push_back("wait");
    answer a = take_answer();
    if (a.result == -1)
        errno = ENOMEM;
    for (int i = 0; i < a.result && i < ready_max; i++)
        ready[i] = i;
    return a.result;
}

void scripted_nap(void *, int64_t nap_us)
{
    happened.push_back("nap " + std::to_string(nap_us));
    loop_clock_us += static_cast<uint64_t>(nap_us);
}

uint64_t scripted_clock_us(void *)
{
    return loop_clock_us;
}

uint64_t scripted_utc_us(void *)
{
    return 1700000000000000u + loop_clock_us;
}

// Past the end of its script, a read gives the last count again.
int scripted_read_drops(void *, socket_handle, uint32_t *count)
{
    if (drop_reads.empty())
        return 0;
    *count = drop_reads.front();
    if (drop_reads.size() > 1)
        drop_reads.erase(drop_reads.begin());
    return 1;
}

// What the query socket holds, in turn: a packet read as a query (1) or not (0), on an
// interface; past its end it holds nothing.
struct heard_query {
    int got;
    query_reading query;
    uint32_t interface_index;
    const char *interface_name;
};
std::vector<heard_query> queries_queued;
size_t next_query;
bool reads_said; // each read of the query socket is "read" in happened

// The names of the interfaces the queue's queries came on, by index.
void scripted_interface_name(void *, uint32_t index, char *name)
{
    for (const heard_query &heard : queries_queued)
        if (heard.interface_index == index)
            snprintf(name, INTERFACE_NAME_MAX, "%s", heard.interface_name);
}

int scripted_receive_query(void *, socket_handle, unsigned char *, size_t, query_reading *reading,
                           uint32_t *interface_index)
{
    if (reads_said)
        happened.push_back("read");
    if (next_query == queries_queued.size())
        return RECEIVE_WOULD_BLOCK;
    const heard_query &heard = queries_queued[next_query++];
    *reading = heard.query;
    *interface_index = heard.interface_index;
    return heard.got;
}

// A rejoin is "rejoin" in happened, with what it left and joined where that is not the same
// interface ("rejoin left 3 joined 7"; "left -": nothing); the join fails where failing_rejoins
// says so, in turn. An interface by name has the index interface_now has.
std::vector<bool> failing_rejoins;
uint32_t interface_now;

int scripted_rejoin(void *, socket_handle, const membership_request *left, membership_request *joined)
{
    bool fails = !failing_rejoins.empty() && failing_rejoins.front();
    if (!failing_rejoins.empty())
        failing_rejoins.erase(failing_rejoins.begin());
    std::string where;
    if (left == nullptr || left->interface_index != joined->interface_index)
        where = " left " + (left != nullptr ? std::to_string(left->interface_index) : "-") +
                " joined " + std::to_string(joined->interface_index);
    happened.push_back((fails ? "rejoin failed" : "rejoin") + where);
    return fails ? -1 : 0;
}

uint32_t scripted_find_interface(void *, const char *)
{
    return interface_now;
}

const loop_calls scripted_calls = {.receive_many = scripted_receive,
                                   .wait = scripted_wait,
                                   .nap = scripted_nap,
                                   .nap_us = 500,
                                   .monotonic_us = scripted_clock_us,
                                   .utc_us = scripted_utc_us,
                                   .read_drops = scripted_read_drops,
                                   .receive_query = scripted_receive_query,
                                   .interface_name = scripted_interface_name,
                                   .rejoin = scripted_rejoin,
                                   .find_interface = scripted_find_interface,
                                   .context = nullptr};

void on_gap(sink *, const event_head *, const gap_event *)
{
    happened.push_back("gap");
}
// With named streams a datagram says whose it was: "datagram 7 on b".
void on_datagram(sink *, const event_head *head, const datagram_event *event)
{
    std::string on = head->stream->name != nullptr ? std::string(" on ") + head->stream->name : "";
    happened.push_back("datagram " + std::to_string(event->seq) + on);
    if (++datagrams_seen == interrupt_at_datagram)
        on_interrupt(SIGINT);
    if (datagrams_seen == summary_at_datagram)
        on_summary_request(0); // as SIGUSR1 would, where there is one
    if (datagrams_seen == hold_at_datagram)
        loop_clock_us += static_cast<uint64_t>(hold_us);
}
void on_summary(sink *, const event_head *head, const summary_event *)
{
    happened.push_back(std::string("summary") + (head->stream->name != nullptr
                                                     ? std::string(" of ") + head->stream->name
                                                     : ""));
}
void on_stats(sink *, const event_head *, const stats_report *report)
{
    std::string drops = report->host_drops_counted
        ? " drops " + std::to_string(report->host_drops) : "";
    happened.push_back("stats " + std::to_string(report->packets) + "/" +
                       std::to_string(report->gaps) + drops);
}
// When an event says it happened: milliseconds on the scripted clock from its start.
std::string at_ms(const event_head *head)
{
    int64_t since_us = static_cast<int64_t>(head->at_utc_us - 1700000000000000u) - 100000000;
    return std::to_string(since_us / 1000);
}
void on_stall(sink *, const event_head *head, uint64_t silent_ms)
{
    happened.push_back("stall " + std::to_string(silent_ms) + " at " + at_ms(head));
}
void on_resume(sink *, const event_head *head, uint64_t silent_ms)
{
    happened.push_back("resume " + std::to_string(silent_ms) + " at " + at_ms(head));
}
int on_flush(sink *)
{
    happened.push_back("flush");
    return 0;
}
void on_first_datagram(sink *, const event_head *head, uint64_t latency_us)
{
    happened.push_back("first " + std::to_string(latency_us) + " at " + at_ms(head));
}
void on_query(sink *, const event_head *, const query_event *event)
{
    happened.push_back(std::string("query ") + std::to_string(event->query->querier[3]) + " " +
                       query_version_name(event->query->version) + " " +
                       std::to_string(event->query->interval_s) + " on " + event->interface_name);
}
void on_no_query(sink *, const event_head *head, const char *interface_name, uint64_t)
{
    happened.push_back(std::string("no query on ") + interface_name + " at " + at_ms(head));
}
void on_rejoined(sink *, const event_head *head, const rejoin_event *event)
{
    happened.push_back("rejoined after " + std::to_string(event->silent_us / 1000) + " at " +
                       at_ms(head));
}
seq_layout classic = classic_layout(false);
sink recording = {.bound = nullptr, .gap = on_gap, .datagram = on_datagram, .stats = on_stats,
                  .classified = nullptr, .summary = on_summary, .receive_buffer = nullptr,
                  .host_drops = nullptr, .stall = on_stall, .resume = on_resume, .joined = nullptr,
                  .left = nullptr, .rejoined = on_rejoined, .flush = on_flush, .verdict = nullptr, .feed_gap = nullptr,
                  .feed_summary = nullptr, .feed_lag = nullptr, .feed_period = nullptr,
                  .first_datagram = on_first_datagram, .query = on_query,
                  .no_query = on_no_query, .ts_error = nullptr};

struct ReceiveLoop : testing::Test {
    settings options = {};
    stream_settings stream = {};
    std::unique_ptr<run_state> state = std::make_unique<run_state>();

    void SetUp() override
    {
        int code;
        ASSERT_EQ(find_host("239.1.2.3", AF_INET, &group, &code), 0);
        ASSERT_EQ(find_host("127.0.0.1", AF_INET, &sender, &code), 0);
        ASSERT_EQ(find_host("127.0.0.9", AF_INET, &other, &code), 0);
        happened.clear();
        destinations.clear();
        next_answer = 0;
        next_seq = 1;
        interrupt_at_datagram = 0;
        summary_at_datagram = 0;
        hold_at_datagram = 0;
        hold_us = 0;
        summary_requested = 0;
        datagrams_seen = 0;
        interrupted = 0;
        loop_clock_us = 100000000; // room for a clock that steps back
        drop_reads.clear();
        queries_queued.clear();
        failing_rejoins.clear();
        interface_now = 0;
        next_query = 0;
        reads_said = false;
        options.check_gaps = true;
    }
    void TearDown() override
    {
        run_state_free(state.get());
        interrupted = 0;
        restore_standard_output(); // the interrupts here released the test's own output
    }
    // Readies the run over one receiver, its timers armed from the scripted clock as the start
    // arms them.
    void start()
    {
        run_state_free(state.get());
        stream.layout = classic;
        ASSERT_EQ(run_state_init(state.get(), &options, &stream, 1, 1, &scripted_calls, &recording), 0);
        state->watched.streams[0].request.group = group;
        state->watched.streams[0].receiver = 0;
        state->receive.receivers[0] = receiver{};
        state->receive.receivers[0].count = 1;
        state->receive.receiver_count = 1;
        state->receive.room_bytes = 1 << 20;
        state->receive.open_count = 1;
        if (options.period_us != 0) {
            stats_start(&state->watched.streams[0].judge.stats, loop_clock_us);
            state->timing.stats_due_us = state->watched.streams[0].judge.stats.due_us;
            timer_arm(&state->timing.stats_timer, state->timing.stats_due_us);
        }
        if (options.stall_ms != 0) {
            state->watched.streams[0].last_arrival_us = loop_clock_us;
            timer_arm(&state->timing.stall_timer, loop_clock_us + options.stall_ms * 1000u);
        }
        if (options.rejoin_us != 0) {
            state->watched.streams[0].joined = true;
            state->watched.streams[0].last_arrival_us = loop_clock_us;
            join_started(&state->watched.streams[0].join, loop_clock_us);
            timer_arm(&state->timing.rejoin_timer, loop_clock_us + options.rejoin_us);
        }
    }
    // Runs the loop with the script; returns its status.
    int run_script(std::vector<answer> answers)
    {
        script = answers;
        start();
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
        {3600000000u, {WAIT_ENDED_EARLY, false, 0}, 0, ""},
        {0, {-1, false, 0}, -1, "recv failed: ("},
        {3600000000u, {-1, false, 0}, -1, "select failed: ("},
    };
    for (const failure_case &c : cases) {
        SetUp();
        options.period_us = c.period_us;
        interrupt_at_datagram = 1;
        testing::internal::CaptureStderr();
        EXPECT_EQ(run_script({{RECEIVE_WOULD_BLOCK, false, 0}, c.failing, {1, false, 0},
                              {1, false, 0}}),
                  c.status)
            << c.period_us;
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
    EXPECT_EQ(state->watched.streams[0].judge.stats.packets, 2u);
}

TEST_F(ReceiveLoop, StatisticsKeepTheirGridAndPrintOnePerPeriodWhenLate)
{
    options.period_us = 1000;
    // A datagram, then a wait that ends just before the first report is due, then one that
    // the process overslept by three periods.
    EXPECT_EQ(run_script({{1, false, 0}, {0, false, 999}, {0, false, 3501}, {0, false, 0}}), 0);
    // A wait that found no stream ready is followed by no receive; one that overslept looks
    // again before the reports.
    EXPECT_EQ(happened, (std::vector<std::string>{"recv", "datagram 1", "flush", "wait", "flush",
                                                  "wait", "wait", "stats 1/0", "stats 0/0",
                                                  "stats 0/0", "stats 0/0", "flush", "wait"}));
    EXPECT_EQ(timers_wait_limit_us(&state->timing.timers, loop_clock_us), 500);
}

// A loop held up (stopped, descheduled) finds datagrams queued over several periods: each
// period's report comes between them by their own times of arrival, not all before them.
TEST_F(ReceiveLoop, AHeldUpLoopSplitsWhatQueuedByTheDatagramsOwnTimes)
{
    const std::vector<std::string> split = {
        "recv", "datagram 2", "stats 2/0", "datagram 3", "stats 1/0", "datagram 4", "stats 1/0",
        "datagram 5", "flush", "nap 500", "recv", "stats 1/0"};
    // The wait ends with a stream ready; or it times out late, and a look finds one ready; or
    // it ends early (Linux ends a wait stopped by SIGSTOP at SIGCONT), and the next finds one.
    const std::vector<std::vector<answer>> scripts = {
        {{1, false, 0}, {1, false, 3500}, {4, false, 0, -1, 3000}},
        {{1, false, 0}, {0, false, 3500}, {1, false, 0}, {4, false, 0, -1, 3000}},
        {{1, false, 0}, {WAIT_ENDED_EARLY, false, 3500}, {1, false, 0}, {4, false, 0, -1, 3000}}};
    const std::vector<std::string> waits[] = {{"wait"}, {"wait", "wait"}, {"wait", "flush", "wait"}};
    for (size_t i = 0; i < scripts.size(); i++) {
        SetUp();
        options.period_us = 1000;
        EXPECT_EQ(run_script(scripts[i]), 0);
        std::vector<std::string> expected = {"recv", "datagram 1", "flush"};
        expected.insert(expected.end(), waits[i].begin(), waits[i].end());
        // After a wait that ended early, what follows the split depends on how long the queue
        // took to fill (the nap it plans, and whether a period ends in it): not looked at.
        bool ended_early = i == 2;
        expected.insert(expected.end(), split.begin(), split.end() - (ended_early ? 4 : 0));
        std::vector<std::string> shown = happened;
        if (ended_early && shown.size() > expected.size())
            shown.resize(expected.size());
        EXPECT_EQ(shown, expected) << i << testing::PrintToString(happened);
    }
}

// Held up while it took a batch that emptied the queue (SIGSTOP, or descheduled on a busy
// host), the loop finds datagrams queued meanwhile: the periods that passed are reported
// between them by their own times, not as empty periods before them.
TEST_F(ReceiveLoop, AHoldUpWhileTakingABatchSplitsWhatQueuedByTheDatagramsOwnTimes)
{
    options.period_us = 1000;
    hold_at_datagram = 2;
    hold_us = 3500;
    // A datagram; a wait; a receive of one that empties the queue, after which the process
    // is held up for 3.5 periods; a wait; three datagrams that queued meanwhile.
    EXPECT_EQ(run_script({{1, false, 0}, {1, false, 0}, {1, false, 0}, {1, false, 0},
                          {3, false, 0, -1, 3000}}), 0);
    std::vector<std::string> shown;
    for (const std::string &line : happened)
        if (line.rfind("datagram", 0) == 0 || line.rfind("stats", 0) == 0)
            shown.push_back(line);
    EXPECT_EQ(shown, (std::vector<std::string>{"datagram 1", "datagram 2", "datagram 3",
                                               "stats 3/0", "datagram 4", "stats 1/0",
                                               "stats 0/0", "datagram 5"}))
        << testing::PrintToString(happened);
}

// A feed's timer decides what falls due while its lines are heard; once they have been quiet
// past the arbitration time everything was decided, and the loop waits without a limit
// instead of waking for nothing.
TEST_F(ReceiveLoop, AQuietFeedLetsTheLoopWaitUntilTheNextDatagram)
{
    options.arbitration_us = 8000;
    stream.feed = "f";
    // A datagram, then waits of the timer's period (a millisecond) for as long as it is armed.
    std::vector<answer> answers = {{1, false, 0}};
    answers.insert(answers.end(), 12, answer{0, false, 1000});
    EXPECT_EQ(run_script(answers), 0);
    EXPECT_FALSE(state->timing.feed_timer.armed);
    // Armed while the line was heard within the arbitration time and a period (9 ms): ten
    // waits; then the receive itself waits, the last two answers and the script's end.
    EXPECT_EQ(std::count(happened.begin(), happened.end(), "wait"), 10);
    EXPECT_EQ(std::count(happened.begin(), happened.end(), "recv+wait"), 3);
}

// The kernel's drop count comes with datagrams and is read outright before each report. A
// count is cumulative and wraps at 2^32; one that goes backwards (a stale datagram's, or a
// read that raced it) adds nothing, and a rise is counted once.
TEST_F(ReceiveLoop, HostDropsAreTheRiseOfTheSocketsCount)
{
    struct drop_case {
        const char *name;
        uint32_t at_start;            // the count when the socket was joined
        std::vector<int64_t> carried; // one datagram each, carrying this count
        uint32_t read_at_report;
        uint64_t reported;
    };
    const drop_case cases[] = {
        {"counted as they come", 0, {2, 5}, 5, 5},
        {"a drop after the last datagram shows at the report", 0, {2}, 7, 7},
        {"the count wraps at 2^32", 0xfffffff0u, {0xfffffffe, 3}, 3, 19},
        {"a stale datagram's count goes backwards", 0, {10, 7, 12}, 12, 12},
        {"a read that goes backwards", 0, {10}, 4, 10},
        {"no drops", 0, {-1, -1}, 0, 0},
    };
    for (const drop_case &c : cases) {
        SetUp();
        options.period_us = 1000;
        start();
        state->receive.host_drops_counted = true;
        state->receive.receivers[0].drops_counted = true;
        state->receive.receivers[0].drop_count = c.at_start;
        drop_reads = {c.read_at_report};
        // Each datagram is received after a wait that found it, the first at once.
        script.clear();
        for (int64_t count : c.carried) {
            if (!script.empty())
                script.push_back({1, false, 0});
            script.push_back({1, false, 0, count});
        }
        script.push_back({0, false, 1000});
        next_answer = 0;
        EXPECT_EQ(receive_loop(state.get()), 0) << c.name;
        std::vector<std::string> reports;
        for (const std::string &event : happened)
            if (event.rfind("stats", 0) == 0)
                reports.push_back(event);
        std::string expected = "stats " + std::to_string(c.carried.size()) + "/0 drops " +
                               std::to_string(c.reported);
        EXPECT_EQ(reports, std::vector<std::string>{expected}) << c.name;
    }
}

// A stall is said once the silence lasts, and the datagram that ends it says how long it was;
// a clock that steps back neither says a stall early nor measures a silence of 2^64 us. With
// --rejoin a stream silent that long since its join or last datagram is joined again (a failed
// join is tried again as late), and its next datagram is timed from the join made last.
TEST_F(ReceiveLoop, StallsAndRejoinsAreMeasuredOnTheLoopsClock)
{
    struct stall_case {
        const char *name;
        std::vector<answer> answers;
        std::vector<std::string> said;
        uint32_t rejoin_ms = 0;
        std::vector<bool> failing = {};
        bool by_name = false;        // joined on "v1" by name at index 3; the name's index now:
        uint32_t interface_now = 0;  // 0: none
    };
    // Each wait takes as long as its limit: the stall at 300, a rejoin at 400 and at 800.
    const std::vector<answer> silent_for_900_ms = {{1, false, 0},      {0, false, 300000},
                                                   {0, false, 100000}, {0, false, 400000},
                                                   {1, false, 100000}, {1, false, 0}};
    const stall_case cases[] = {
        {"flowing: nothing said", {{1, false, 200000}, {0, false, 0}, {1, false, 200000}},
         {"first 200000 at 200"}, 250},
        {"silent, then resumed",
         {{1, false, 0}, {0, false, 300000}, {0, false, 200000}, {1, false, 0}},
         {"stall 300 at 300", "resume 500 at 500"}},
        // A wait that overran says the stall when it fell due, not when the loop woke.
        {"silent, and the wait overran",
         {{1, false, 0}, {0, false, 350000}, {0, false, 150000}, {1, false, 0}},
         {"stall 300 at 300", "resume 500 at 500"}},
        {"the clock steps back while silent",
         {{1, false, 0}, {0, false, 300000}, {0, false, -5000000}, {1, false, 0}},
         {"stall 300 at 300", "resume 0 at -4700"}},
        {"the clock steps back while flowing",
         {{1, false, 0}, {0, false, -5000000}, {0, false, 200000}, {1, false, 0}}, {}},
        {"silent past --rejoin: joined again while silent, then timed from the last join",
         silent_for_900_ms,
         {"first 0 at 0", "stall 300 at 300", "rejoin", "rejoined after 400 at 400", "rejoin",
          "rejoined after 400 at 800", "resume 900 at 900", "first 100000 at 900"}, 400},
        {"a rejoin whose join failed is tried again as late, with nothing to leave",
         silent_for_900_ms,
         {"first 0 at 0", "stall 300 at 300", "rejoin failed", "rejoin left - joined 0",
          "rejoined after 400 at 800", "resume 900 at 900", "first 100000 at 900"}, 400, {true}},
        {"an interface made again under its name is left at its old index, joined at its new",
         silent_for_900_ms,
         {"first 0 at 0", "stall 300 at 300", "rejoin left 3 joined 7", "rejoined after 400 at 400",
          "rejoin", "rejoined after 400 at 800", "resume 900 at 900", "first 100000 at 900"},
         400, {}, true, 7},
        {"an interface by name absent for now keeps its old index", silent_for_900_ms,
         {"first 0 at 0", "stall 300 at 300", "rejoin", "rejoined after 400 at 400", "rejoin",
          "rejoined after 400 at 800", "resume 900 at 900", "first 100000 at 900"}, 400, {}, true},
    };
    for (const stall_case &c : cases) {
        SetUp();
        options.stall_ms = 300;
        options.rejoin_us = c.rejoin_ms * 1000u;
        failing_rejoins = c.failing;
        interface_now = c.interface_now;
        stream.interface_by_name = c.by_name;
        stream.interface_name = "v1";
        script = c.answers;
        start();
        state->watched.streams[0].request.interface_index = stream.interface_by_name ? 3 : 0;
        EXPECT_EQ(receive_loop(state.get()), 0) << c.name;
        std::vector<std::string> said;
        for (const std::string &event : happened)
            if (event.rfind("stall", 0) == 0 || event.rfind("resume", 0) == 0 ||
                (c.rejoin_ms != 0 && (event.rfind("rejoin", 0) == 0 || event.rfind("first", 0) == 0)))
                said.push_back(event);
        EXPECT_EQ(said, c.said) << c.name;
        EXPECT_EQ(state->watched.streams[0].join.rejoins,
                  static_cast<uint64_t>(std::count_if(said.begin(), said.end(), [](const std::string &e) {
                      return e.rfind("rejoined", 0) == 0;
                  })))
            << c.name;
    }
}

// The first datagram after a join says how long it took, on the loop's clock from the join, once;
// a stream never joined (a capture's) says nothing.
TEST_F(ReceiveLoop, TheFirstDatagramAfterTheJoinSaysHowLongItTook)
{
    struct latency_case {
        const char *name;
        bool joined;
        std::vector<answer> answers;
        std::vector<std::string> said;
    };
    const latency_case cases[] = {
        {"came at once", true, {{2, false, 0}, {1, false, 40000}}, {"first 0 at 0"}},
        {"came later", true, {{0, false, 250000}, {0, false, 12345}, {3, false, 0}},
         {"first 262345 at 262"}},
        // Queued for another member of the host, stamped before this join.
        {"stamped before the join", true, {{3, false, 20000, -1, 50000}}, {"first 0 at 20"}},
        {"not joined", false, {{2, false, 250000}}, {}},
    };
    for (const latency_case &c : cases) {
        SetUp();
        script = c.answers;
        start();
        if (c.joined)
            join_started(&state->watched.streams[0].join, loop_clock_us);
        EXPECT_EQ(receive_loop(state.get()), 0) << c.name;
        std::vector<std::string> said;
        for (const std::string &event : happened)
            if (event.rfind("first", 0) == 0)
                said.push_back(event);
        EXPECT_EQ(said, c.said) << c.name;
    }
}

query_reading query_of(query_version version, uint8_t querier, uint32_t interval_s)
{
    query_reading query = {};
    query.version = version;
    query.querier[0] = 10;
    query.querier[3] = querier;
    query.general = true;
    query.interval_s = interval_s;
    return query;
}

// The query socket is waited on with the streams' sockets; a querier is said when first heard
// in a version on an interface and when its interval changes, and every query is counted.
TEST_F(ReceiveLoop, QueriesAreSaidWhenAQuerierIsNewOrChanges)
{
    queries_queued = {
        {1, query_of(QUERY_IGMP_V3, 1, 125), 2, "eth0"},
        {1, query_of(QUERY_IGMP_V3, 1, 125), 2, "eth0"},
        {0, {}, 2, "eth0"},  // a report
        {1, query_of(QUERY_IGMP_V3, 1, 60), 2, "eth0"},
        {1, query_of(QUERY_IGMP_V2, 1, 0), 2, "eth0"},
        {1, query_of(QUERY_IGMP_V3, 1, 60), 3, "eth1"},
        {1, query_of(QUERY_IGMP_V3, 2, 60), 3, "eth1"},
    };
    script = {{1, false, 0}, {2, false, 0}, {RECEIVE_WOULD_BLOCK, false, 0}};
    start();
    state->queries.count = 1;
    EXPECT_EQ(receive_loop(state.get()), 0);
    EXPECT_EQ(happened, (std::vector<std::string>{
                            "recv", "datagram 1", "flush", "wait", "recv",
                            "query 1 IGMPv3 125 on eth0", "query 1 IGMPv3 60 on eth0",
                            "query 1 IGMPv2 0 on eth0", "query 1 IGMPv3 60 on eth1",
                            "query 2 IGMPv3 60 on eth1", "flush", "wait"}));
    const querier_table *queriers = &state->queries.queriers;
    ASSERT_EQ(queriers->count, 4);
    EXPECT_EQ(queriers->entries[0].queries, 3u);
    EXPECT_EQ(state->queries.interface_names[3], std::string("eth1"));
}

// An interface joined on that hears no query for the timeout is said once, and again only
// after a query on it started the time anew; a query on another interface is no answer.
TEST_F(ReceiveLoop, AnInterfaceWithoutQueriesIsSaidOnceUntilOneComes)
{
    options.querier_timeout_us = 1000000;
    queries_queued = {{1, query_of(QUERY_IGMP_V3, 1, 125), 3, "eth1"},
                      {RECEIVE_WOULD_BLOCK, {}, 0, ""},
                      {1, query_of(QUERY_IGMP_V3, 1, 125), 2, "eth0"}};
    script = {{RECEIVE_WOULD_BLOCK, false, 0}, {0, false, 1000000},
              {2, false, 500000}, {RECEIVE_WOULD_BLOCK, false, 0}, {0, false, 1000000},
              {2, false, 500000}, {RECEIVE_WOULD_BLOCK, false, 0}, {0, false, 1000000}};
    start();
    state->queries.count = 1;
    state->queries.watches[0] = query_watch{2, "eth0", loop_clock_us, false};
    state->queries.watch_count = 1;
    arm_query_timer(state.get());
    EXPECT_EQ(receive_loop(state.get()), 0);
    std::vector<std::string> said;
    for (const std::string &event : happened)
        if (event.rfind("no query", 0) == 0)
            said.push_back(event);
    EXPECT_EQ(said, (std::vector<std::string>{"no query on eth0 at 1000", "no query on eth0 at 4000"}));
}

// A flood of queries is taken a bounded number a wake: the streams' sockets are looked at
// between.
TEST_F(ReceiveLoop, AFloodOfQueriesIsTakenABoundedNumberAWake)
{
    queries_queued.assign(40, {1, query_of(QUERY_IGMP_V2, 1, 0), 2, "eth0"});
    reads_said = true;
    script = {{RECEIVE_WOULD_BLOCK, false, 0}};
    for (int wake = 0; wake < 3; wake++)
        script.insert(script.end(), {{2, false, 0}, {RECEIVE_WOULD_BLOCK, false, 0}});
    start();
    state->queries.count = 1;
    EXPECT_EQ(receive_loop(state.get()), 0);
    std::vector<int> reads_per_wake;
    for (const std::string &event : happened) {
        if (event == "wait")
            reads_per_wake.push_back(0);
        else if (event == "read" && !reads_per_wake.empty())
            reads_per_wake.back()++;
    }
    EXPECT_EQ(reads_per_wake, (std::vector<int>{16, 16, 9, 0}));
    EXPECT_EQ(state->queries.queriers.entries[0].queries, 40u);
}

// Several streams through the seam: two share one socket, whose batch holds both groups' datagrams
// in turn, and a third has its own, which the wait finds ready with the first. Each datagram is
// handed over as its own stream's, and a stream's numbers are checked among its own alone.
TEST_F(ReceiveLoop, EachDatagramIsItsOwnStreamsWhereSocketsServeSeveral)
{
    stream_settings streams[3] = {};
    const char *names[3] = {"a", "b", "c"};
    endpoint groups[3];
    int code;
    for (int i = 0; i < 3; i++) {
        streams[i].name = names[i];
        streams[i].layout = classic;
        ASSERT_EQ(find_host(i == 0 ? "239.1.2.3" : i == 1 ? "239.1.2.4" : "239.1.2.5", AF_INET,
                            &groups[i], &code), 0);
    }
    run_state_free(state.get());
    ASSERT_EQ(run_state_init(state.get(), &options, streams, 3, 3, &scripted_calls, &recording), 0);
    for (int i = 0; i < 3; i++) {
        state->watched.streams[i].request.group = groups[i];
        state->watched.streams[i].receiver = i < 2 ? 0 : 1;
        state->receive.receiver_streams[i] = i;
    }
    state->receive.receivers[0] = receiver{};
    state->receive.receivers[0].count = 2;
    state->receive.receivers[1] = receiver{};
    state->receive.receivers[1].socket = 1;
    state->receive.receivers[1].first = 2;
    state->receive.receivers[1].count = 1;
    state->receive.receiver_count = 2;
    state->receive.open_count = 2;
    state->receive.room_bytes = 1 << 20;
    // Datagram numbers run 1, 2, 3, ... over all receives: a gets the odd ones of the first
    // batch, b the even ones. After the nap both sockets are ready: the shared one is empty,
    // c's holds 5 and 6.
    destinations = {{groups[0], groups[1]}, {groups[2]}};
    script = {{4, false, 0}, {2, false, 0}, {RECEIVE_WOULD_BLOCK, false, 0}, {2, false, 0}};
    next_answer = 0;
    interrupt_at_datagram = 6;
    EXPECT_EQ(receive_loop(state.get()), 0);
    std::vector<std::string> taken;
    for (const std::string &event : happened)
        if (event.rfind("datagram", 0) == 0 || event == "gap")
            taken.push_back(event);
    // a: 1, 3 and b: 2, 4 each miss one between; c's first is 5, and 6 follows it.
    EXPECT_EQ(taken, (std::vector<std::string>{"datagram 1 on a", "datagram 2 on b", "gap",
                                               "datagram 3 on a", "gap", "datagram 4 on b",
                                               "datagram 5 on c", "datagram 6 on c"}));
    EXPECT_EQ(state->watched.streams[0].judge.stats.packets + state->watched.streams[1].judge.stats.packets, 4u);
    EXPECT_EQ(state->watched.streams[2].judge.stats.packets, 2u);
}

TEST_F(ReceiveLoop, ASummaryAskedForDuringABatchComesAtItsEnd)
{
    // Two sockets, each with a full batch queued: the request that comes in the first batch
    // is answered before the second socket's batch is taken, not after the round.
    stream_settings streams[2] = {};
    const char *names[2] = {"a", "b"};
    endpoint groups[2];
    int code;
    for (int i = 0; i < 2; i++) {
        streams[i].name = names[i];
        streams[i].layout = classic;
        ASSERT_EQ(find_host(i == 0 ? "239.1.2.3" : "239.1.2.4", AF_INET, &groups[i], &code), 0);
    }
    run_state_free(state.get());
    ASSERT_EQ(run_state_init(state.get(), &options, streams, 2, 2, &scripted_calls, &recording), 0);
    for (int i = 0; i < 2; i++) {
        state->watched.streams[i].request.group = groups[i];
        state->watched.streams[i].receiver = i;
        state->receive.receiver_streams[i] = i;
        state->receive.receivers[i] = receiver{};
        state->receive.receivers[i].socket = i;
        state->receive.receivers[i].first = i;
        state->receive.receivers[i].count = 1;
    }
    state->receive.receiver_count = 2;
    state->receive.open_count = 2;
    state->receive.room_bytes = 1 << 20;
    destinations = {{groups[0]}, {groups[1]}};
    script = {{RECEIVE_BATCH_MAX, false, 0}, {RECEIVE_BATCH_MAX, false, 0}};
    next_answer = 0;
    summary_at_datagram = 3;
    EXPECT_EQ(receive_loop(state.get()), 0);
    std::vector<std::string> order;
    for (const std::string &event : happened)
        if (event == "recv" || event.rfind("summary", 0) == 0 ||
            event == "datagram " + std::to_string(RECEIVE_BATCH_MAX) + " on a")
            order.push_back(event);
    // What follows the second batch is the script's end.
    ASSERT_GE(order.size(), 5u);
    order.resize(5);
    EXPECT_EQ(order, (std::vector<std::string>{"recv", "datagram 64 on a", "summary of a",
                                               "summary of b", "recv"}));
}

} // namespace
