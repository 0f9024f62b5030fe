#include "mcfeed.h"
#include "monitor/ts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
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
    {{"239.1.1.1"}, -1, "mcfeed: expected <group> <port>, up to 1024 pairs"},
    {{"239.1.1.1", "5000", "extra"}, -1, "mcfeed: expected <group> <port>, up to 1024 pairs"},
    {{"239.1.1.1", "0"}, -1, "mcfeed: invalid value '0' for <port>"},
    {{"239.1.1.1", "5000", "239.1.1.2", "5001"}, 0, ""},
    {{"239.1.1.1", "5000", "239.1.1.2", "0"}, -1, "mcfeed: invalid value '0' for <port>"},
    {{"239.1.1.1", "65536"}, -1, "mcfeed: invalid value '65536' for <port>"},
    {{"--ts-drop", "0.1", "239.1.1.1", "5000"}, -1,
     "mcfeed: --ts-file and --ts-drop need --format mpegts or rtp-mpegts"},
    {{"--format", "rtp-mpegts", "--stamp", "239.1.1.1", "5000"}, -1,
     "mcfeed: --format mpegts and rtp-mpegts carry packets, not counts or stamps"},
    {{"--format", "rtp-mpegts", "--ts-drop", "0.01", "239.1.1.1", "5000"}, 0, ""},
    // Layouts, and the options that need a count field or a session.
    {{"--format", "moldudp64", "--messages", "20", "--heartbeat", "50", "--session", "S1",
      "239.1.1.1", "5000"}, 0, ""},
    {{"--seq", "0:2:be", "--start", "65535", "-l", "2", "239.1.1.1", "5000"}, 0, ""},
    {{"--seq", "4:8:be", "--start", "18446744073709551615", "239.1.1.1", "5000"}, 0, ""},
    {{"--seq", "0:2", "--start", "65536", "239.1.1.1", "5000"}, -1,
     "mcfeed: invalid value '65536' for --start"},
    {{"--seq", "0:2", "--start", "-1", "239.1.1.1", "5000"}, -1,
     "mcfeed: invalid value '-1' for --start"},
    {{"--seq", "10:2", "-l", "11", "239.1.1.1", "5000"}, -1,
     "mcfeed: --length must be at least 12, the end of the sequence field"},
    {{"-f", "--format", "rtp", "239.1.1.1", "5000"}, -1, "mcfeed: give one of -f, --seq and --format"},
    {{"--format", "sip", "239.1.1.1", "5000"}, -1, "mcfeed: invalid value 'sip' for --format"},
    {{"--seq-count", "2:1", "239.1.1.1", "5000"}, -1, "mcfeed: --seq-count needs --seq"},
    {{"--format", "rtp", "--messages", "2", "239.1.1.1", "5000"}, -1,
     "mcfeed: --messages and --heartbeat need a count field"},
    {{"--seq", "4:4", "--seq-count", "2:1", "--messages", "256", "239.1.1.1", "5000"}, -1,
     "mcfeed: --messages must fit in the count field"},
    {{"--format", "mdp3", "--session", "S1", "239.1.1.1", "5000"}, -1,
     "mcfeed: --session needs --format moldudp64"},
    {{"--format", "moldudp64", "--session", "ELEVENCHARS", "239.1.1.1", "5000"}, -1,
     "mcfeed: invalid value 'ELEVENCHARS' for --session"},
    {{"--stamp", "239.1.1.1", "5000"}, 0, ""},
    // A stamp clear of the layout's fields, and one on them.
    {{"--stamp=56", "239.1.1.1", "5000"}, 0, ""},
    {{"--stamp=5", "239.1.1.1", "5000"}, -1, "mcfeed: --stamp at 5 would overwrite the sequence number"},
    {{"--format", "moldudp64", "--stamp", "239.1.1.1", "5000"}, -1,
     "mcfeed: --stamp at 12 would overwrite the sequence number"},
    {{"--format", "moldudp64", "--stamp=21", "239.1.1.1", "5000"}, -1,
     "mcfeed: --stamp at 21 would overwrite a MoldUDP64 message block's length"},
    {{"--format", "moldudp64", "--stamp=22", "--messages", "3", "239.1.1.1", "5000"}, 0, ""},
    {{"--format", "moldudp64", "--stamp=32", "239.1.1.1", "5000"}, 0, ""},
    {{"--format", "rtp", "--stamp=8", "239.1.1.1", "5000"}, -1,
     "mcfeed: --stamp at 8 would overwrite the RTP header"},
    {{"--seq", "0:4", "--seq-count", "4:2", "--stamp=5", "239.1.1.1", "5000"}, -1,
     "mcfeed: --stamp at 5 would overwrite the count"},
    {{"--seq", "0:4", "--seq-count", "3:2", "239.1.1.1", "5000"}, -1,
     "mcfeed: --seq-count must not overlap --seq"},
    {{"--seq", "0:4", "--seq-count", "4:2", "239.1.1.1", "5000"}, 0, ""},
    // Faults of a feed's lines and of its sender.
    {{"--lag", "239.1.1.2:300", "239.1.1.1", "5000", "239.1.1.2", "5001"}, 0, ""},
    {{"--lag", "239.9.9.9:300", "239.1.1.1", "5000"}, -1,
     "mcfeed: --lag names a group that is not given"},
    {{"--lag", "239.1.1.1:x", "239.1.1.1", "5000"}, -1,
     "mcfeed: invalid value '239.1.1.1:x' for --lag"},
    {{"--restart", "1000:1", "239.1.1.1", "5000"}, 0, ""},
    {{"--restart", "x:5", "239.1.1.1", "5000"}, -1, "mcfeed: invalid value 'x:5' for --restart"},
    {{"--format", "moldudp64", "--new-session", "10:S2", "239.1.1.1", "5000"}, 0, ""},
    {{"--new-session", "10:S2", "239.1.1.1", "5000"}, -1,
     "mcfeed: --new-session needs --format moldudp64"},
    {{"--swap", "1.5", "239.1.1.1", "5000"}, -1, "mcfeed: invalid value '1.5' for --swap"},
    {{"--stamp=57", "239.1.1.1", "5000"}, -1, "mcfeed: --length must hold the --stamp field"},
    // Numbers as far as 64 bits hold, and not one past.
    {{"--seed", "18446744073709551615", "239.1.1.1", "5000"}, 0, ""},
    {{"--seed", "18446744073709551616", "239.1.1.1", "5000"}, -1,
     "mcfeed: invalid value '18446744073709551616' for --seed"},
    {{"-i", "0", "239.1.1.1", "5000"}, -1, "mcfeed: invalid value '0' for --interface"},
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
            EXPECT_NE(err.find("\nusage: mcfeed [options] <group> <port> [<group> <port>]...\n"), std::string::npos);
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
    options.layout = classic_layout(false);
    options.messages_max = 1;
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

    // --swap sends the pair one datagram a step, as the schedule had them.
    options = plan_options(5);
    options.start_seq = 50;
    options.swap = 1;
    sent.clear();
    faults.clear();
    run_plan(options, &sent, &faults);
    EXPECT_EQ(sent, (std::vector<int64_t>{51, 50, 53, 52, 54}));
    EXPECT_EQ(faults.size(), 2u);
    for (const feed_step &step : faults)
        EXPECT_EQ(step.sends, 1);

    // A restart: the numbers start again, and no fault moves one across it.
    options = plan_options(6);
    options.start_seq = 50;
    options.restart_given = true;
    options.restart_index = 3;
    options.restart_seq = 1000;
    options.swap = 1;
    sent.clear();
    run_plan(options, &sent, &faults);
    EXPECT_EQ(sent, (std::vector<int64_t>{51, 50, 52, 1001, 1000, 1002}));

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

// With --messages each datagram carries a run of 1 to N numbers that the next one follows, in
// the field's width, and the runs add up to the stream's count.
TEST(FeedPlan, MessagesCarryRunsThatFollowEachOtherAcrossTheWrap)
{
    feed_options options = plan_options(1000);
    ASSERT_EQ(parse_seq_field("0:2:be", false, &options.layout.seq), 0);
    ASSERT_EQ(parse_seq_field("2:2:be", true, &options.layout.count), 0);
    options.layout.given = options.layout.have_count = true;
    options.messages_max = 5;
    options.start_seq = 65000;
    feed_plan plan;
    plan_start(&plan, &options);
    feed_step step;
    uint64_t numbers = 0, datagrams = 0;
    uint32_t largest = 0;
    while (plan_next(&plan, &options, &step)) {
        ASSERT_EQ(step.first_seq, (65000 + numbers) % 65536) << datagrams;
        ASSERT_GE(step.first_count, 1u);
        numbers += step.first_count;
        largest = std::max(largest, step.first_count);
        datagrams++;
    }
    EXPECT_EQ(numbers, 1000u);
    EXPECT_EQ(largest, 5u);
    EXPECT_LT(datagrams, 500u);
    EXPECT_EQ(plan_next_seq(&plan, &options), (65000 + 1000) % 65536);
}

TEST(BuildDatagram, PutsTheSequenceWhereTheReceiverReadsIt)
{
    unsigned char datagram[256];
    feed_options options = plan_options(1);
    options.length_bytes = 16;
    EXPECT_EQ(build_datagram(datagram, &options, 0x0102030405060708LL, 1), 16u);
    const unsigned char expected[16] = {0, 1, 2, 3, 8, 7, 6, 5, 4, 3, 2, 1, 12, 13, 14, 15};
    EXPECT_EQ(memcmp(datagram, expected, 16), 0);
    options.short_seq = true;
    options.layout = classic_layout(true);
    options.length_bytes = 4;
    EXPECT_EQ(build_datagram(datagram, &options, -2, 1), 4u);
    const unsigned char expected_short[4] = {0xfe, 0xff, 0xff, 0xff};
    EXPECT_EQ(memcmp(datagram, expected_short, 4), 0);
    // RTP: version 2, payload type 96, the number big-endian at bytes 2 and 3.
    ASSERT_EQ(find_layout_preset("rtp", &options.layout), 0);
    options.length_bytes = 12;
    EXPECT_EQ(build_datagram(datagram, &options, 0xfffe, 1), 12u);
    const unsigned char expected_rtp[4] = {0x80, 96, 0xff, 0xfe};
    EXPECT_EQ(memcmp(datagram, expected_rtp, 4), 0);
    // MoldUDP64: session, number, count, and a block per message; a heartbeat has none.
    ASSERT_EQ(find_layout_preset("moldudp64", &options.layout), 0);
    memcpy(options.session, "S1        ", SESSION_BYTES);
    EXPECT_EQ(build_datagram(datagram, &options, 7, 3), 20u + 3 * (2 + MOLD_MESSAGE_BYTES));
    const unsigned char expected_mold[24] = {'S', '1', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                             0, 0, 0, 0, 0, 0, 0, 7, 0, 3, 0, MOLD_MESSAGE_BYTES,
                                             'A', 'A'};
    EXPECT_EQ(memcmp(datagram, expected_mold, sizeof expected_mold), 0);
    EXPECT_EQ(build_datagram(datagram, &options, 7, 0), 20u);
    // The send time: where --stamp puts it, and in MDP 3.0 its SendingTime after the number.
    const unsigned char expected_time[8] = {0x00, 0x10, 0xa5, 0xd4, 0xe8, 0, 0, 0};  // 1e12 ns
    options.stamp = true;
    options.stamp_offset = 12;
    stamp_datagram(datagram, 20, &options, 1000000000);
    EXPECT_EQ(memcmp(datagram + 12, expected_time, 8), 0);
    options.stamp = false;
    ASSERT_EQ(find_layout_preset("mdp3", &options.layout), 0);
    stamp_datagram(datagram, 12, &options, 1000000000);
    EXPECT_EQ(memcmp(datagram + 4, expected_time, 8), 0);
}

// The stream mcfeed makes, judged as mcwatch judges it: whole, nothing is wrong; with datagrams
// or packets taken out, the breaks are the network's and the source's: one for each run of a
// PID's packets taken out after its first (none for null packets).
TEST(BuildDatagram, MakesATransportStreamWhoseFaultsAreTheOnesSent)
{
    // file_datagrams: a file of this stream's first datagrams, sent round and round.
    struct row { const char *format; double ts_drop; int64_t lost_every; int file_datagrams; } rows[] = {
        {"rtp-mpegts", 0, 0, 0}, {"mpegts", 0, 0, 0}, {"rtp-mpegts", 0.05, 0, 0},
        {"rtp-mpegts", 0, 7, 0}, {"rtp-mpegts", 0, 0, 13}, {"mpegts", 0.05, 0, 13},
    };
    static unsigned char file[13 * TS_PACKETS_PER_DATAGRAM * TS_PACKET_BYTES];
    for (const row &r : rows) {
        feed_options options = plan_options(200), whole = plan_options(200);
        ASSERT_EQ(find_layout_preset(r.format, &options.layout), 0);
        whole.layout = options.layout;
        options.ts_drop = r.ts_drop;
        if (r.file_datagrams != 0) {
            uint32_t length = 0;
            ts_drops none;
            for (int i = 0; i < r.file_datagrams; i++)
                length += put_ts_packets(file + length, &whole, uint64_t(i), &none);
            for (feed_options *o : {&options, &whole}) {
                o->ts_file = file;
                o->ts_file_packets = length / TS_PACKET_BYTES;
                measure_ts_file(o);
            }
        }
        auto ts = std::make_unique<ts_stream>();
        ts_start(ts.get(), TS_PID_TIMEOUT_DEFAULT_US);
        uint64_t packets = 0, source_breaks = 0, lost_datagrams = 0;
        bool taken_out[TS_PIDS] = {}, seen[TS_PIDS] = {};
        static unsigned char datagram[65536], all[65536];
        feed_plan plan;
        plan_start(&plan, &options);
        feed_step step;
        while (plan_next(&plan, &options, &step)) {
            int64_t seq = step.seqs[0];
            uint32_t length = build_datagram(datagram, &options, seq, 1);
            uint32_t all_length = build_datagram(all, &whole, seq, 1);
            if (r.lost_every != 0 && seq % r.lost_every == 3) {
                lost_datagrams++;
                continue;
            }
            int offset = options.layout.payload == PAYLOAD_RTP_TS
                             ? rtp_payload_offset(datagram, length) : 0;
            ASSERT_EQ((length - uint32_t(offset)) % TS_PACKET_BYTES, 0u);
            for (uint32_t at = uint32_t(offset), kept = at; at < all_length; at += TS_PACKET_BYTES) {
                int pid = ((all[at + 1] & 0x1f) << 8) | all[at + 2];
                bool sent = kept < length && memcmp(all + at, datagram + kept, TS_PACKET_BYTES) == 0;
                kept += sent ? TS_PACKET_BYTES : 0;
                source_breaks += sent && taken_out[pid] && seen[pid] && pid != TS_NULL_PID;
                taken_out[pid] = !sent;
                seen[pid] = seen[pid] || sent;
            }
            packets += (length - uint32_t(offset)) / TS_PACKET_BYTES;
            bool after_loss = r.lost_every != 0 && seq % r.lost_every == 4;
            // Twenty milliseconds apart: a cycle of ten datagrams carries a PAT and a PMT
            // every 0.2 s.
            ts_take(ts.get(), datagram + offset, length - uint32_t(offset),
                    after_loss ? TS_AFTER_LOSS : TS_IN_ORDER, uint64_t(seq) * 20000,
                    [](void *, const ts_error *) {}, nullptr);
        }
        const ts_counts &n = ts->counts;
        EXPECT_EQ(n.packets, packets) << r.format;
        EXPECT_EQ(n.pids, 5u);
        EXPECT_EQ(n.errors[TS_SYNC_BYTE_ERROR], 0u);
        EXPECT_EQ(ts->program_count, 1);
        EXPECT_EQ(ts->watched_count, 2);     // the two elementary PIDs its PMT names
        if (r.ts_drop == 0 && r.lost_every == 0) {
            EXPECT_EQ(n.errors[TS_PAT] + n.errors[TS_PMT] + n.errors[TS_PID], 0u) << r.format;
        }
        EXPECT_EQ(n.continuity[TS_SOURCE], source_breaks) << r.format << " " << r.ts_drop;
        EXPECT_EQ(r.ts_drop > 0, source_breaks > 0);
        // Each lost datagram broke the two elementary PIDs it carried, and the PAT or PMT
        // where it carried them.
        EXPECT_GE(n.continuity[TS_NETWORK], 2 * lost_datagrams);
        EXPECT_LE(n.continuity[TS_NETWORK], 4 * lost_datagrams);
    }
}

} // namespace
