#include "feed.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct feed_case {
    std::vector<const char *> args;
    int status;
    const char *first_error_line; // "" when nothing goes to standard error
};

const feed_case feed_cases[] = {
    {{"239.1.1.1", "5000"}, 0, ""},
    {{"-n", "10", "-r", "0", "239.1.1.1", "5000"}, 0, ""},
    {{"--duration", "1.5", "--rate=0", "239.1.1.1", "5000"}, 0, ""},
    {{"--spin", "-r", "100000", "-n", "10", "239.1.1.1", "5000"}, 0, ""},
    {{"-h"}, 1, ""},
    {{"--version"}, 1, ""},
    {{"-r", "0", "239.1.1.1", "5000"}, -1,
     "mcfeed: --rate 0 sends as fast as it can: give --count or --duration"},
    {{"-r", "x", "239.1.1.1", "5000"}, -1, "mcfeed: invalid value 'x' for --rate"},
    {{"--rate=-5", "239.1.1.1", "5000"}, -1, "mcfeed: invalid value '-5' for --rate"},
    {{"-n", "0", "239.1.1.1", "5000"}, -1, "mcfeed: invalid value '0' for --count"},
    {{"-l", "11", "239.1.1.1", "5000"}, -1,
     "mcfeed: --length must be at least 12, the end of the sequence field"},
    {{"-l", "4", "-f", "239.1.1.1", "5000"}, 0, ""},
    {{"-l", "65508", "239.1.1.1", "5000"}, -1, "mcfeed: invalid value '65508' for --length"},
    {{"--drop", "1.5", "239.1.1.1", "5000"}, -1, "mcfeed: invalid value '1.5' for --drop"},
    {{"--reorder", "nan", "239.1.1.1", "5000"}, -1, "mcfeed: invalid value 'nan' for --reorder"},
    {{"--drop-every", "0", "239.1.1.1", "5000"}, -1,
     "mcfeed: invalid value '0' for --drop-every"},
    {{"--start", "-9223372036854775808", "239.1.1.1", "5000"}, 0, ""},
    {{"--start", "9223372036854775808", "239.1.1.1", "5000"}, -1,
     "mcfeed: invalid value '9223372036854775808' for --start"},
    {{"-f", "--start", "-2147483648", "239.1.1.1", "5000"}, 0, ""},
    {{"-f", "--start", "2147483648", "239.1.1.1", "5000"}, -1,
     "mcfeed: --start must fit in the 32-bit field of -f"},
    {{"-f", "--start", "-2147483649", "239.1.1.1", "5000"}, -1,
     "mcfeed: --start must fit in the 32-bit field of -f"},
    {{"-t", "256", "239.1.1.1", "5000"}, -1, "mcfeed: invalid value '256' for --ttl"},
    {{"-i", "nowhere", "239.1.1.1", "5000"}, -1, "mcfeed: invalid value 'nowhere' for --interface"},
    {{"-x", "239.1.1.1", "5000"}, -1, "mcfeed: unknown option '-x'"},
    {{"--bogus", "239.1.1.1", "5000"}, -1, "mcfeed: unknown option '--bogus'"},
    {{"239.1.1.1", "5000", "-n"}, -1, "mcfeed: option '-n' needs a value"},
    {{"239.1.1.1"}, -1, "mcfeed: expected <group> <port>"},
    {{"239.1.1.1", "5000", "extra"}, -1, "mcfeed: expected <group> <port>"},
    {{"239.1.1.1", "0"}, -1, "mcfeed: invalid value '0' for <port>"},
    {{"239.1.1.1", "65536"}, -1, "mcfeed: invalid value '65536' for <port>"},
};

TEST(FeedOptions, AcceptsGoodCommandLinesAndNamesTheBadValue)
{
    for (const feed_case &c : feed_cases) {
        std::vector<char *> argv{const_cast<char *>("mcfeed")};
        std::string shown;
        for (const char *arg : c.args) {
            argv.push_back(const_cast<char *>(arg));
            shown += std::string(" ") + arg;
        }
        argv.push_back(nullptr);
        SCOPED_TRACE(shown);
        feed_options options;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int status = read_feed_options(static_cast<int>(argv.size() - 1), argv.data(), &options);
        std::string out = testing::internal::GetCapturedStdout();
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(err.substr(0, err.find('\n')), c.first_error_line);
        if (status < 0) {
            EXPECT_NE(err.find("\nusage: mcfeed [options] <group> <port>\n"), std::string::npos);
        }
        if (status == 1) {
            EXPECT_NE(out, "");
        }
    }
}

TEST(FeedOptions, Defaults)
{
    char *argv[] = {const_cast<char *>("mcfeed"), const_cast<char *>("239.1.1.1"),
                    const_cast<char *>("5000"), nullptr};
    feed_options options;
    ASSERT_EQ(read_feed_options(3, argv, &options), 0);
    EXPECT_EQ(options.rate_pps, 10u);
    EXPECT_EQ(options.length_bytes, 64u);
    EXPECT_EQ(options.ttl, 1);
    EXPECT_TRUE(options.loop);
    EXPECT_EQ(options.count, 0u);
    EXPECT_EQ(options.port, 5000);
}

feed_options plan_options(uint64_t count)
{
    feed_options options = {};
    options.count = count;
    options.length_bytes = 64;
    options.seed = 1;
    return options;
}

// What the plan sends, and the faults it records, over a whole stream.
void run_plan(const feed_options &options, std::vector<int64_t> *sent, std::vector<feed_step> *faults)
{
    feed_plan plan;
    plan_start(&plan, &options);
    feed_step step;
    while (plan_next(&plan, &options, &step)) {
        for (int i = 0; i < step.sends; i++)
            sent->push_back(step.seqs[i]);
        if (step.fault != FAULT_NONE)
            faults->push_back(step);
    }
}

TEST(FeedPlan, EachFaultShapesWhatIsSent)
{
    feed_options options = plan_options(6);
    options.start_seq = 50;
    options.drop_every = 3;
    std::vector<int64_t> sent;
    std::vector<feed_step> faults;
    run_plan(options, &sent, &faults);
    EXPECT_EQ(sent, (std::vector<int64_t>{50, 51, 53, 54}));

    options = plan_options(5);
    options.start_seq = 50;
    options.reorder = 1;
    sent.clear();
    run_plan(options, &sent, &faults);
    // The last number has no successor to swap with.
    EXPECT_EQ(sent, (std::vector<int64_t>{51, 50, 53, 52, 54}));

    // A number that --drop-every drops is dropped even where --reorder would swap it.
    options = plan_options(6);
    options.start_seq = 50;
    options.drop_every = 2;
    options.reorder = 1;
    sent.clear();
    run_plan(options, &sent, &faults);
    EXPECT_EQ(sent, (std::vector<int64_t>{50, 52, 54}));

    options = plan_options(2);
    options.duplicate = 1;
    options.start_seq = -1;
    sent.clear();
    run_plan(options, &sent, &faults);
    EXPECT_EQ(sent, (std::vector<int64_t>{-1, -1, 0, 0}));
}

TEST(FeedPlan, SameSeedSameFaultsAndRatesNearTheirProbabilities)
{
    feed_options options = plan_options(100000);
    options.drop = 0.05;
    options.duplicate = 0.02;
    options.reorder = 0.01;
    std::vector<int64_t> sent, again;
    std::vector<feed_step> faults, faults_again;
    run_plan(options, &sent, &faults);
    run_plan(options, &again, &faults_again);
    EXPECT_EQ(sent, again);
    int counts[4] = {};
    for (const feed_step &step : faults)
        counts[step.fault]++;
    EXPECT_NEAR(counts[FAULT_DROPPED], 5000, 400);
    EXPECT_NEAR(counts[FAULT_DUPLICATED], 0.02 * 0.95 * 100000, 300);
    EXPECT_NEAR(counts[FAULT_SWAPPED], 1000, 200);
    options.seed = 2;
    again.clear();
    run_plan(options, &again, &faults_again);
    EXPECT_NE(sent, again);
}

TEST(FeedPlan, StreamWrapsAtTheEndOfTheRange)
{
    feed_options options = plan_options(3);
    options.start_seq = INT64_MAX;
    std::vector<int64_t> sent;
    std::vector<feed_step> faults;
    run_plan(options, &sent, &faults);
    EXPECT_EQ(sent, (std::vector<int64_t>{INT64_MAX, INT64_MIN, INT64_MIN + 1}));
    // With -f the numbers recorded are those the 32-bit field carries.
    options.short_seq = true;
    options.start_seq = INT32_MAX;
    sent.clear();
    run_plan(options, &sent, &faults);
    EXPECT_EQ(sent, (std::vector<int64_t>{INT32_MAX, INT32_MIN, INT32_MIN + 1}));
}

TEST(BuildDatagram, PutsTheSequenceWhereTheReceiverReadsIt)
{
    unsigned char datagram[64];
    feed_options options = plan_options(1);
    options.length_bytes = 16;
    EXPECT_EQ(build_datagram(datagram, &options, 0x0102030405060708LL), 16u);
    const unsigned char expected[16] = {0, 1, 2, 3, 8, 7, 6, 5, 4, 3, 2, 1, 12, 13, 14, 15};
    EXPECT_EQ(memcmp(datagram, expected, 16), 0);
    options.short_seq = true;
    options.length_bytes = 4;
    EXPECT_EQ(build_datagram(datagram, &options, -2), 4u);
    const unsigned char expected_short[4] = {0xfe, 0xff, 0xff, 0xff};
    EXPECT_EQ(memcmp(datagram, expected_short, 4), 0);
}

} // namespace
