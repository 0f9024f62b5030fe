#include "app/app.h"
#include "app/needs.h"
#include "app/config.h"

#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

namespace {

struct command_case {
    std::vector<const char *> args; // after the program name
    int status = 0;
    const char *error = nullptr;    // the message of the one error line, or nullptr for none
    bool check_gaps = false;
    bool short_seq = false;
    uint32_t period_us = 0;
    const char *interface_addr = nullptr;
    const char *host = nullptr;
    uint16_t port = 0;
    const char *source_host = nullptr;
    uint64_t count_max = 0;
    uint64_t duration_us = 0;
    const char *layout = "classic";  // as layout_text writes the layout read
    const char *sent_at = "";        // the sender's clock, as field_text writes it, and its unit
    const char *listen = "";         // --listen: "<address> <port>"
};

std::string field_text(const seq_field &field)
{
    return std::to_string(field.offset) + ":" + std::to_string(field.width_bytes) +
           (field.big_endian ? ":be" : ":le");
}

std::string layout_text(const seq_layout &layout)
{
    if (!layout.given)
        return layout.short_seq ? "classic -f" : "classic";
    std::string text = field_text(layout.seq);
    if (layout.have_count)
        text += " count " + field_text(layout.count);
    return layout.session ? text + " session" : text;
}

const char *usage = "mcwatch [-g] [-f] [-s <period(ms)>] <host> <port> [<source_host>]\n";

// Past the room kept for --listen's address.
const std::string long_listen = std::string(300, 'h') + ":1";

const command_case command_cases[] = {
    {{}, -1, usage},
    {{"-g"}, -1, usage},
    {{"239.1.1.1"}, -1, usage},
    {{"239.1.1.1", "5000"}, 0, nullptr, false, false, 0, "0.0.0.0", "239.1.1.1", 5000, nullptr},
    {{"-g", "-f", "-s", "1000", "-i", "127.0.0.1", "239.1.1.1", "5000", "10.0.0.1", "extra"},
     0, nullptr, true, true, 1000000, "127.0.0.1", "239.1.1.1", 5000, "10.0.0.1", 0, 0,
     "classic -f"},
    // Options end at the first positional; a later -g is the source.
    {{"239.1.1.1", "5000", "-g"}, 0, nullptr, false, false, 0, "0.0.0.0", "239.1.1.1", 5000, "-g"},
    // Trailing text after the period is ignored, the last -s wins, 0 means no statistics.
    {{"-s", "10x", "g", "1"}, 0, nullptr, false, false, 10000, "0.0.0.0", "g", 1, nullptr},
    {{"-s", "5", "-s", "7", "g", "1"}, 0, nullptr, false, false, 7000, "0.0.0.0", "g", 1, nullptr},
    {{"-s", " +0", "g", "1"}, 0, nullptr, false, false, 0, "0.0.0.0", "g", 1, nullptr},
    {{"-s", "4294967", "g", "1"}, 0, nullptr, false, false, 4294967000u, "0.0.0.0", "g", 1, nullptr},
    {{"-s", "4294968", "g", "1"}, -1, "invalid option"},
    {{"-s", "536870912", "g", "1"}, -1, "invalid option"},
    {{"-s", "99999999999999999999999", "g", "1"}, -1, "invalid option"},
    {{"-s", "-1", "g", "1"}, -1, "invalid option"},
    {{"-s", "-0", "g", "1"}, -1, "invalid option"},
    {{"-s", "x10", "g", "1"}, -1, "invalid option"},
    {{"-s", "-g", "g", "1"}, -1, "invalid option"},
    {{"-s"}, -1, "invalid option"},
    {{"-i"}, -1, "invalid option"},
    {{"-i", "255.255.255.255", "g", "1"}, -1, "invalid option"},
    // A name is looked up when the run starts; a bad dotted address is still refused here.
    {{"-i", "eth0", "g", "1"}, 0, nullptr, false, false, 0, "0.0.0.0", "g", 1, nullptr},
    {{"-i", "1.2.3.999", "g", "1"}, -1, "invalid option"},
    {{"-i", "0", "g", "1"}, -1, "invalid option"},
    {{"-i", "10.1.2.3", "-i", "127.0.0.1", "g", "1"}, 0, nullptr, false, false, 0, "127.0.0.1",
     "g", 1, nullptr},
    {{"-x", "g", "1"}, -1, "unknown option"},
    {{"-", "g", "1"}, -1, "unknown option"},
    {{"--g", "g", "1"}, -1, "unknown option"},
    {{"-gf", "g", "1"}, -1, "unknown option"},
    // An unknown option is reported before a missing positional.
    {{"-x"}, -1, "unknown option"},
    // Ports: 1 to 65535 after optional blanks and a plus; trailing text ignored.
    {{"g", "65535"}, 0, nullptr, false, false, 0, "0.0.0.0", "g", 65535, nullptr},
    {{"g", " +80x"}, 0, nullptr, false, false, 0, "0.0.0.0", "g", 80, nullptr},
    {{"g", "65616"}, -1, "invalid port"},
    {{"g", "0"}, -1, "invalid port"},
    {{"g", "-1"}, -1, "invalid port"},
    {{"g", "abc"}, -1, "invalid port"},
    {{"g", ""}, -1, "invalid port"},
    {{"g", "99999999999999999999999"}, -1, "invalid port"},
    // Counts that do not fit are refused, not wrapped to a small number.
    {{"-c", "99999999999999999999", "g", "1"}, -1, "invalid option"},
    {{"--max-lost", "99999999999999999999", "g", "1"}, -1, "invalid option"},
    {{"-c", "18446744073709551620", "g", "1"}, -1, "invalid option"},
    {{"--max-lost", "18446744073709551616", "g", "1"}, -1, "invalid option"},
    {{"-c", "1844674407370955161", "g", "1"}, 0, nullptr, false, false, 0, "0.0.0.0", "g", 1,
     nullptr, 1844674407370955161u},
    // A fraction of a second with or without its whole part.
    {{"--duration", ".5", "g", "1"}, 0, nullptr, false, false, 0, "0.0.0.0", "g", 1, nullptr, 0,
     500000},
    {{"--duration=1.", "g", "1"}, 0, nullptr, false, false, 0, "0.0.0.0", "g", 1, nullptr, 0,
     1000000},
    {{"--duration", ".", "g", "1"}, -1, "invalid option"},
    {{"--pid-timeout", "0", "g", "1"}, -1, "invalid option"},
    // Layouts: a preset, or a field and a count field of their own.
    {{"-f", "g", "1"}, 0, nullptr, false, true, 0, "0.0.0.0", "g", 1, nullptr, 0, 0, "classic -f"},
    {{"--format", "rtp", "g", "1"}, 0, nullptr, false, false, 0, "0.0.0.0", "g", 1, nullptr, 0,
     0, "2:2:be"},
    {{"--format=moldudp64", "g", "1"}, 0, nullptr, false, false, 0, "0.0.0.0", "g", 1, nullptr,
     0, 0, "10:8:be count 18:2:be session"},
    {{"--format", "mdp3", "g", "1"}, 0, nullptr, false, false, 0, "0.0.0.0", "g", 1, nullptr, 0,
     0, "0:4:le", "4:8:le ns 1"},
    {{"--sent-at", "12:8:be:us", "g", "1"}, 0, nullptr, false, false, 0, "0.0.0.0", "g", 1,
     nullptr, 0, 0, "classic", "12:8:be ns 1000"},
    {{"--format", "mdp3", "--sent-at=20:4:s", "g", "1"}, 0, nullptr, false, false, 0, "0.0.0.0",
     "g", 1, nullptr, 0, 0, "0:4:le", "20:4:le ns 1000000000"},
    {{"--sent-at", "12:8", "g", "1"}, -1, "invalid option"},
    {{"--sent-at", "12:2:ns", "g", "1"}, -1, "invalid option"},
    {{"--sent-at", "12:4:ms", "g", "1"}, -1, "invalid option"},
    {{"--seq", "0:8", "--seq-count", "7:1", "g", "1"}, -1, "--seq-count must not overlap --seq"},
    {{"--sent-at", "12:8:le:hours", "g", "1"}, -1, "invalid option"},
    {{"--sent-at", "65500:8:ns", "g", "1"}, -1, "invalid option"},
    {{"--seq", "4:8:be", "g", "1"}, 0, nullptr, false, false, 0, "0.0.0.0", "g", 1, nullptr, 0,
     0, "4:8:be"},
    {{"--seq=4:4:le", "--seq-count", "2:1", "g", "1"}, 0, nullptr, false, false, 0, "0.0.0.0",
     "g", 1, nullptr, 0, 0, "4:4:le count 2:1:le"},
    {{"--seq", "65505:2", "g", "1"}, 0, nullptr, false, false, 0, "0.0.0.0", "g", 1, nullptr, 0,
     0, "65505:2:le"},
    {{"--seq", "65504:4", "g", "1"}, -1, "invalid option"},
    {{"--seq", "0:3", "g", "1"}, -1, "invalid option"},
    {{"--seq", "0:1", "g", "1"}, -1, "invalid option"},
    {{"--seq", "0:4:xe", "g", "1"}, -1, "invalid option"},
    {{"--seq", "0:4:be:", "g", "1"}, -1, "invalid option"},
    {{"--seq", ":4", "g", "1"}, -1, "invalid option"},
    {{"--seq", "-1:4", "g", "1"}, -1, "invalid option"},
    {{"--seq", "0:4", "--seq-count", "4:8", "g", "1"}, -1, "invalid option"},
    {{"--seq"}, -1, "invalid option"},
    {{"-f", "--seq", "0:4", "g", "1"}, -1, "-f and --seq cannot be given together"},
    {{"--format", "rtp", "-f", "g", "1"}, -1, "-f and --format cannot be given together"},
    {{"--seq", "0:4", "--format", "rtp", "g", "1"}, -1, "--seq and --format cannot be given together"},
    {{"--format", "rtp", "--seq-count", "0:2", "g", "1"}, -1,
     "--format and --seq-count cannot be given together"},
    {{"--seq-count", "0:2", "g", "1"}, -1, "--seq-count needs --seq"},
    {{"--format", "srt", "g", "1"}, -1, "Unknown format \"srt\" (known: rtp, rtp-mpegts, mpegts, moldudp64, mdp3)"},
    {{"--metrics-per", "stream", "239.1.1.1", "5000"}, -1,
     "--metrics-per needs --prom or --listen: only the metrics have series to sum"},
    {{"--prom", "m.prom", "--metrics-per=host", "239.1.1.1", "5000"}, -1,
     "invalid --metrics-per \"host\": stream or sender"},
    {{"--prom", "m.prom", "--metrics-per"}, -1, "invalid option"},
    {{"--arbitration", "20", "239.1.1.1", "5000"}, -1,
     "--arbitration needs --config: only a config's streams make feeds"},
    {{"--config", "/nonexistent/streams.toml", "--arbitration", "0"}, -1, "invalid option"},
    {{"--max-skew", "0", "239.1.1.1", "5000"}, -1,
     "--max-skew needs --config: only a config's streams make feeds"},
    {{"--config", "/nonexistent/streams.toml", "--max-skew", "4294968"}, -1, "invalid option"},
    {{"--config", "/nonexistent/streams.toml", "--max-skew", "-1"}, -1, "invalid option"},
    {{"--config", "streams.toml", "239.1.1.1", "5000"}, -1,
     "--config and a group on the command line cannot be given together"},
    {{"--config", "/nonexistent/streams.toml"}, -1,
     "/nonexistent/streams.toml: No such file or directory"},
    {{"--arbitration", "0", "g", "1"}, -1, "invalid option"},
    {{"-r", "night.pcap", "-i", "eth0", "g", "1"}, -1,
     "-i cannot be given with -r: a capture joins nothing"},
    {{"--read=night.pcap", "--rcvbuf", "1m"}, -1,
     "--rcvbuf cannot be given with -r: a capture joins nothing"},
    {{"-r", "night.pcap", "--rejoin", "30"}, -1,
     "--rejoin cannot be given with -r: a capture joins nothing"},
    {{"--rejoin", "0", "g", "1"}, -1, "invalid option"},
    {{"--rejoin", "0.099999", "g", "1"}, -1, "invalid option"},
    // --listen: a port alone serves this host only; an address serves beyond it.
    {.args = {"--listen", "9100", "g", "1"}, .interface_addr = "0.0.0.0", .host = "g", .port = 1,
     .listen = "127.0.0.1 9100"},
    {.args = {"--listen=0.0.0.0:65535", "g", "1"}, .interface_addr = "0.0.0.0", .host = "g",
     .port = 1, .listen = "0.0.0.0 65535"},
    {.args = {"--listen", "[::]:9100", "g", "1"}, .interface_addr = "0.0.0.0", .host = "g",
     .port = 1, .listen = ":: 9100"},
    {.args = {"--listen", "watch.example:9100", "g", "1"}, .interface_addr = "0.0.0.0",
     .host = "g", .port = 1, .listen = "watch.example 9100"},
    {{"--listen", "0.0.0.0:0", "g", "1"}, -1,
     "invalid port \"0\" for --listen: a whole number from 1 to 65535"},
    {{"--listen", "127.0.0.1:", "g", "1"}, -1,
     "invalid port \"\" for --listen: a whole number from 1 to 65535"},
    {{"--listen", "9101x", "g", "1"}, -1,
     "invalid port \"9101x\" for --listen: a whole number from 1 to 65535"},
    {{"--listen", "+9102", "g", "1"}, -1,
     "invalid port \"+9102\" for --listen: a whole number from 1 to 65535"},
    {{"--listen", "9101 ", "g", "1"}, -1,
     "invalid port \"9101 \" for --listen: a whole number from 1 to 65535"},
    {{"--listen", "[::1]:65536", "g", "1"}, -1,
     "invalid port \"65536\" for --listen: a whole number from 1 to 65535"},
    {{"--listen", "99999999999999999999999", "g", "1"}, -1,
     "invalid port \"99999999999999999999999\" for --listen: a whole number from 1 to 65535"},
    {{"--listen", "::1:9100", "g", "1"}, -1, "invalid option"},
    {{"--listen", ":9100", "g", "1"}, -1, "invalid option"},
    {{"--listen", "[::1]x:9100", "g", "1"}, -1, "invalid option"},
    {{"--listen", long_listen.c_str(), "g", "1"}, -1, "invalid option"},
    {{"--top", "--json", "g", "1"}, -1, "--top and --json cannot be given together"},
    {{"-r", "night.pcap", "--top"}, -1,
     "--top cannot be given with -r: a capture is read to its end at once"},
    {{"-r", "night.pcap", "--listen", "9100"}, -1,
     "--listen cannot be given with -r: a capture is read to its end at once (--prom writes its "
     "metrics)"},
};

void check_command(const command_case &c)
{
    std::vector<char *> argv{const_cast<char *>("mcwatch")};
    std::string shown = "mcwatch";
    for (const char *arg : c.args) {
        argv.push_back(const_cast<char *>(arg));
        shown += std::string(" '") + arg + "'";
    }
    argv.push_back(nullptr);
    SCOPED_TRACE(shown);
    settings options;
    testing::internal::CaptureStderr();
    int status = read_command_line(static_cast<int>(argv.size() - 1), argv.data(), &options);
    std::string errors = testing::internal::GetCapturedStderr();

    EXPECT_EQ(status, c.status);
    if (status != c.status)
        return;
    if (c.error == nullptr) {
        EXPECT_EQ(errors, "");
        EXPECT_EQ(options.check_gaps, c.check_gaps);
        EXPECT_EQ(options.short_seq, c.short_seq);
        EXPECT_EQ(options.period_us, c.period_us);
        EXPECT_EQ(options.interface_addr.s_addr, inet_addr(c.interface_addr));
        EXPECT_STREQ(options.host, c.host);
        EXPECT_EQ(options.port, c.port);
        EXPECT_EQ(options.count_max, c.count_max);
        EXPECT_EQ(options.duration_us, c.duration_us);
        EXPECT_EQ(layout_text(options.layout), c.layout);
        EXPECT_EQ(options.listen_text == nullptr
                      ? ""
                      : std::string(options.listen_host) + " " + std::to_string(options.listen_port),
                  c.listen);
        EXPECT_EQ(options.have_sent_at ? field_text(options.sent_at.field) + " ns " +
                                             std::to_string(options.sent_at.unit_ns)
                                       : "",
                  c.sent_at);
        if (c.source_host == nullptr) {
            EXPECT_EQ(options.source_host, nullptr);
        } else {
            EXPECT_STREQ(options.source_host, c.source_host);
        }
    } else {
        std::regex prefix(R"(^\[\d\d:\d\d:\d\d\.\d\d\d\] \[error\] )");
        EXPECT_TRUE(std::regex_search(errors, prefix)) << errors;
        size_t prefix_length = sizeof "[hh:mm:ss.mmm] [error] " - 1;
        EXPECT_EQ(errors.substr(prefix_length), std::string(c.error) + "\n");
    }
}

TEST(CommandLine, ReadsSettingsOrWritesOneErrorLine)
{
    for (const command_case &c : command_cases)
        check_command(c);
}

struct config_case {
    const char *text;
    const char *error;     // the one error line's message, after "f.toml:"; null for none
    const char *streams;   // each stream as "name feed layout source[ @sent_at]", ";"-separated
    bool sent_at_given = false;  // --sent-at 20:8:le:us on the command line
    bool capture = false;        // -r: the streams are read from a capture
    const char *said = nullptr;  // a line said while the file is read on, after "f.toml:"
};

const char *const two_lines = "[[stream]]\nname=\"a\"\ngroup=\"239.1.1.1\"\nport=1\nfeed=\"f\"\n"
                              "[[stream]]\nname=\"b\"\ngroup=\"239.1.1.2\"\nport=1\nfeed=\"f\"\n";

// Parts past what toml++ could follow by recursion, and around the limit.
std::string repeat(const char *text, int times)
{
    std::string out;
    for (int i = 0; i < times; i++)
        out += text;
    return out;
}

const std::string stream_head = "[[stream]]\ngroup=\"239.1.1.1\"\nport=1\n";
const std::string deep_texts[] = {
    stream_head + "a" + repeat(".a", 200000) + "=1\n",
    stream_head + "[" + repeat("a.", 200000) + "a]\n",
    stream_head + "a" + repeat(".a", 13) + "=1\n",
    stream_head + "a" + repeat(" . a", 14) + "=1\n",
    stream_head + "a={" + repeat("a={", 13) + "}\n",
    stream_head + "[a]\nb=[" + repeat("\n[", 14) + "\n]\n",
    stream_head + "name=\"a.b.c.d.e.f.g.h.i.j.k.l.m.n.o.p.q[{\" # .a.a.a.a.a.a.a.a.a.a.a.a.a.a.a\n"
        "feed='''\nx.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a'''\n",
};

const config_case config_cases[] = {
    // The command line's --sent-at stands in for a stream's sent_at whatever its layout.
    {"[[stream]]\nname=\"r\"\ngroup=\"239.1.1.1\"\nport=1\nformat=\"rtp\"\n"
     "[[stream]]\nname=\"s\"\ngroup=\"239.1.1.2\"\nport=1\nseq=\"0:4\"\n"
     "[[stream]]\nname=\"m\"\ngroup=\"239.1.1.3\"\nport=1\nformat=\"mdp3\"\n"
     "[[stream]]\nname=\"c\"\ngroup=\"239.1.1.4\"\nport=1\n"
     "[[stream]]\nname=\"o\"\ngroup=\"239.1.1.5\"\nport=1\nseq=\"0:4\"\nsent_at=\"4:4:be:s\"\n",
     nullptr,
     "r - 2:2:be - @20:8:le;s - 0:4:le - @20:8:le;m - 0:4:le - @20:8:le;c - classic - @20:8:le;"
     "o - 0:4:le - @4:4:be",
     true},
    {"[[stream]]\nname=\"m\"\ngroup=\"239.1.1.3\"\nport=1\nformat=\"mdp3\"\n"
     "[[stream]]\nname=\"s\"\ngroup=\"239.1.1.2\"\nport=1\nseq=\"0:4\"\n",
     nullptr, "m - 0:4:le - @4:8:le;s - 0:4:le -"},
    // What a value holds is shown escaped: one line, nothing for the terminal to obey.
    {"[[stream]]\ngroup=\"239.1.1.1\\n\\u001b[2J\\u007f\"\nport=1\n",
     "2: invalid group \"239.1.1.1\\n\\x1b[2J\\x7f\": not a multicast address", nullptr},
    {"[[stream]]\ngroup=\"239.1.1.1\"\nport=1\n\"a\\tb\\r\" = 1\n",
     "4: unknown key \"a\\tb\\r\"", nullptr},
    {"[[stream]]\ngroup=\"239.1.1.1\"\nport=1\nname=\"a\\u0000b\"\n",
     "4: name must not hold a NUL (\\u0000)", nullptr},
    {"[[stream]]\ngroup=\"ff15::1%nosuch0\"\nport=1\n",
     "2: unknown interface \"nosuch0\" in the zone of \"ff15::1%nosuch0\"", nullptr},
    {deep_texts[0].c_str(), "4: keys, tables and arrays nest deeper than 16 levels", nullptr},
    {deep_texts[1].c_str(), "4: keys, tables and arrays nest deeper than 16 levels", nullptr},
    {deep_texts[2].c_str(), "4: unknown key \"a\"", nullptr},
    {deep_texts[3].c_str(), "4: keys, tables and arrays nest deeper than 16 levels", nullptr},
    {deep_texts[4].c_str(), "4: keys, tables and arrays nest deeper than 16 levels", nullptr},
    {deep_texts[5].c_str(), "19: keys, tables and arrays nest deeper than 16 levels", nullptr},
    {deep_texts[6].c_str(), nullptr,
     "a.b.c.d.e.f.g.h.i.j.k.l.m.n.o.p.q[{ x.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a classic -"},
    {"[defaults]\nformat=\"rtp\"\n[[stream]]\ngroup=\"239.1.1.1\"\nport=5000\nfeed=\"x\"\n"
     "[[stream]]\nname=\"b\"\ngroup=\"ff15::1\"\nport=5000\nseq=\"0:8:be\"\n"
     "source=\"fd00::2\"\n",
     nullptr, "239.1.1.1:5000 x 2:2:be -;b - 0:8:be fd00::2"},
    {two_lines, nullptr, "a f classic -;b f classic -"},
    {"[[stream]]\ngrop=\"239.1.1.1\"\n", "2: unknown key \"grop\"", nullptr},
    {"[[stream]]\nport=5000\n", "1: the stream has no group", nullptr},
    {"[[stream]]\ngroup=\"239.1.1.1\"\n", "1: the stream has no port", nullptr},
    {"[[stream]]\ngroup=\"239.1.1.1\"\nport=70000\n", "3: invalid port: a whole number from 1 to 65535",
     nullptr},
    {"[[stream]]\ngroup=\"239.1.1.1\"\nport=\"5000\"\n",
     "3: invalid port: a whole number from 1 to 65535", nullptr},
    {"[[stream]]\ngroup=\"10.0.0.1\"\nport=1\n",
     "2: invalid group \"10.0.0.1\": not a multicast address", nullptr},
    {"[[stream]]\ngroup=\"239.1.1.1\"\nport=1\nsource=\"239.9.9.9\"\n",
     "4: invalid source \"239.9.9.9\": not a unicast address of the group's family", nullptr},
    {"[[stream]]\ngroup=\"239.1.1.1\"\nport=1\n[[stream]]\ngroup=\"239.1.1.1\"\nport=1\n",
     "4: the same group, port, source and interface as the stream at line 1", nullptr},
    {"[[stream]]\ngroup=\"239.1.1.1\"\nport=1\nformat=\"rtp\"\nseq=\"0:4\"\n",
     "5: format and seq cannot be given together", nullptr},
    {"[[stream]]\ngroup=\"239.1.1.1\"\nport=1\nseq_count=\"0:2\"\n", "4: seq_count needs seq",
     nullptr},
    {"[[stream]]\ngroup=\"239.1.1.1\"\nport=1\nseq=\"2:2\"\nseq_count=\"3:1\"\n",
     "5: seq_count must not overlap seq", nullptr},
    {"[[stream]]\ngroup=\"239.1.1.1\"\nport=1\nsent_at=\"0:4:us\"\n", "4: invalid sent_at \"0:4:us\"",
     nullptr},
    {"[[stream]]\ngroup=\"239.1.1.1\"\nport=1\nformat=\"srt\"\n",
     "4: unknown format \"srt\" (known: rtp, rtp-mpegts, mpegts, moldudp64, mdp3)", nullptr},
    {"[[stream]]\ngroup=\"239.1.1.1\"\nport=1\ninterface=\"nosuch0\"\n",
     "4: unknown interface \"nosuch0\"", nullptr},
    // A capture joins nothing: another host's interfaces are said once to be ignored.
    {"[[stream]]\ngroup=\"239.1.1.1\"\nport=1\ninterface=\"nosuch0\"\n"
     "[[stream]]\ngroup=\"239.1.1.2\"\nport=1\ninterface=\"nosuch1\"\n", nullptr,
     "239.1.1.1:1 - classic -;239.1.1.2:1 - classic -", false, true,
     "4: interface \"nosuch0\" is ignored: a capture joins nothing"},
    {"[defaults]\nport=1\n", "2: \"port\" belongs to a stream, not to [defaults]", nullptr},
    {"port=1\n", "1: unknown key \"port\": a file has [defaults] and [[stream]] tables", nullptr},
    {"[defaults]\n", "1: no [[stream]] table", nullptr},
    {"\xef\xbb\xbf[[stream]]\ngroup=\"239.1.1.1\"\nport=1\nname=\"B\\u00f6rse\"\n"
     "feed=\"\xc3\xa9\"\n",
     "5: a character past ASCII: write it as a \\uXXXX escape in quotes", nullptr},
    // In a comment too, as the manual says.
    {"[[stream]]\ngroup=\"239.1.1.1\"\nport=1 # caf\xc3\xa9\n",
     "3: a character past ASCII: write it as a \\uXXXX escape in quotes", nullptr},
    {"[[stream]\n", "1: Error while parsing table header: expected ']', saw '\\n'", nullptr},
    {"[[stream]]\ngroup=\"239.1.1.1\"\nport=1\nname=\"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"
     "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\"\n",
     "4: name is longer than 100 bytes", nullptr},
    {"[[stream]]\ngroup=\"239.1.1.1\"\nport=1\nname=\"a\"\n[[stream]]\ngroup=\"239.1.1.2\"\n"
     "port=1\nname=\"a\"\n", "5: a second stream named \"a\" (line 1)", nullptr},
    {"[[stream]]\ngroup=\"239.1.1.1\"\nport=1\nfeed=\"f\"\n[[stream]]\ngroup=\"239.1.1.2\"\n"
     "port=1\nfeed=\"f\"\nformat=\"rtp\"\n",
     "5: the lines of feed \"f\" must carry their numbers alike (line 1)", nullptr},
    // One line past FEED_LINES_MAX (8), which sizes every per-line array of a feed.
    {"[[stream]]\ngroup=\"239.1.1.1\"\nport=1\nfeed=\"f\"\n"
     "[[stream]]\ngroup=\"239.1.1.2\"\nport=1\nfeed=\"f\"\n"
     "[[stream]]\ngroup=\"239.1.1.3\"\nport=1\nfeed=\"f\"\n"
     "[[stream]]\ngroup=\"239.1.1.4\"\nport=1\nfeed=\"f\"\n"
     "[[stream]]\ngroup=\"239.1.1.5\"\nport=1\nfeed=\"f\"\n"
     "[[stream]]\ngroup=\"239.1.1.6\"\nport=1\nfeed=\"f\"\n"
     "[[stream]]\ngroup=\"239.1.1.7\"\nport=1\nfeed=\"f\"\n"
     "[[stream]]\ngroup=\"239.1.1.8\"\nport=1\nfeed=\"f\"\n"
     "[[stream]]\ngroup=\"239.1.1.9\"\nport=1\nfeed=\"f\"\n",
     "33: feed \"f\" has more than 8 lines", nullptr},
};

TEST(ConfigFile, ReadsEveryStreamOrWritesOneErrorLineNamingTheLine)
{
    for (const config_case &c : config_cases) {
        SCOPED_TRACE(c.text);
        settings options = {};
        options.layout = classic_layout(false);
        if (c.sent_at_given) {
            options.have_sent_at = options.sent_at_given = true;
            options.sent_at = {{20, 8, false}, 1000};
        }
        if (c.capture)
            options.read_path = "x.pcap";
        testing::internal::CaptureStderr();
        int status = read_config_text(c.text, strlen(c.text), "f.toml", &options);
        std::string errors = testing::internal::GetCapturedStderr();
        if (c.error != nullptr) {
            EXPECT_EQ(status, -1);
            size_t prefix_length = sizeof "[hh:mm:ss.mmm] [error] " - 1;
            EXPECT_EQ(errors.substr(std::min(prefix_length, errors.size())),
                      std::string("f.toml:") + c.error + "\n");
            continue;
        }
        ASSERT_EQ(status, 0) << errors;
        if (c.said != nullptr) {
            EXPECT_EQ(errors.substr(std::min(sizeof "[hh:mm:ss.mmm] [error] " - 1, errors.size())),
                      std::string("f.toml:") + c.said + "\n");
        }
        std::string streams;
        for (int i = 0; i < options.stream_count; i++) {
            const stream_settings &s = options.streams[i];
            std::string layout = layout_text(s.layout);
            streams += std::string(i > 0 ? ";" : "") + s.name + " " + (s.feed ? s.feed : "-") +
                       " " + layout + " " + (s.source_host ? s.source_host : "-");
            if (s.have_sent_at)
                streams += " @" + field_text(s.sent_at.field);
        }
        EXPECT_EQ(streams, c.streams);
        free_config(&options);
    }
}

TEST(CommandLineEmpty, UsageNamesTheToolWhenTheVectorIsEmpty)
{
    char *argv[] = {nullptr};
    settings options;
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_command_line(0, argv, &options), -1);
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find(std::string("[error] ") + usage + "\n"), std::string::npos) << errors;
}

// An interface given again replaces the one before, whatever form each has.
TEST(ParseInterface, TheLastGivenReplacesTheOneBefore)
{
    struct row {
        const char *first, *second;
        uint32_t index;
        const char *address;
        bool by_name;
    };
    const row rows[] = {
        {"eth0", "127.0.0.1", 0, "127.0.0.1", false},
        {"2", "127.0.0.1", 0, "127.0.0.1", false},
        {"127.0.0.1", "eth0", 0, "0.0.0.0", true},
        {"eth0", "3", 3, "0.0.0.0", false},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(std::string(r.first) + " then " + r.second);
        stream_settings stream = {};
        ASSERT_EQ(parse_interface(r.first, &stream), 0);
        ASSERT_EQ(parse_interface(r.second, &stream), 0);
        EXPECT_EQ(stream.interface_index, r.index);
        EXPECT_EQ(stream.interface_addr.s_addr, inet_addr(r.address));
        EXPECT_EQ(stream.interface_by_name, r.by_name);
        EXPECT_STREQ(stream.interface_name, r.second);
    }
}

} // namespace

// What a run measures follows from its command line alone, so that every output that shows a
// figure has it: counts drops, stamps arrivals, prints a summary, hears queriers.
TEST(RunNeeds, EveryOutputThatShowsAFigureHasItMeasured)
{
    struct row {
        std::vector<const char *> args;
        run_needs needs;
    };
    const row rows[] = {
        {{"239.1.2.3", "5000"}, {false, false, false, false}},
        {{"-g", "-s", "1000", "--stall", "100", "239.1.2.3", "5000"}, {false, false, false, false}},
        {{"-v", "239.1.2.3", "5000"}, {true, true, true, true}},
        {{"--summary", "239.1.2.3", "5000"}, {true, true, true, false}},
        {{"--json", "239.1.2.3", "5000"}, {true, true, true, true}},
        // The view's title says how long ago the querier was heard.
        {{"--top", "239.1.2.3", "5000"}, {true, true, true, true}},
        {{"--prom", "m.prom", "239.1.2.3", "5000"}, {true, true, false, true}},
        // The page holds what the file holds: the times between datagrams and the outages.
        {{"--listen", "9101", "239.1.2.3", "5000"}, {true, true, false, true}},
        {{"--max-lost", "0", "239.1.2.3", "5000"}, {true, false, false, false}},
        // The page draws outages, host drops and the times between datagrams.
        {{"--report", "r.html", "239.1.2.3", "5000"}, {true, true, false, false}},
        {{"--sent-at", "12:8:le:ns", "239.1.2.3", "5000"}, {false, true, false, false}},
        // A capture has no link to hear queriers on.
        {{"-v", "-r", "a.pcap"}, {true, true, true, false}},
    };
    for (const row &r : rows) {
        std::vector<char *> argv{const_cast<char *>("mcwatch")};
        std::string shown = "mcwatch";
        for (const char *arg : r.args) {
            argv.push_back(const_cast<char *>(arg));
            shown += std::string(" ") + arg;
        }
        argv.push_back(nullptr);
        SCOPED_TRACE(shown);
        settings options;
        ASSERT_EQ(read_command_line(static_cast<int>(argv.size() - 1), argv.data(), &options), 0);
        stream_settings stream = command_line_stream(&options);
        run_needs needs = needs_of(&options, &stream, 1);
        EXPECT_EQ(needs.counts_drops, r.needs.counts_drops);
        EXPECT_EQ(needs.stamps_arrivals, r.needs.stamps_arrivals);
        EXPECT_EQ(needs.prints_summary, r.needs.prints_summary);
        EXPECT_EQ(needs.hears_queries, r.needs.hears_queries);
    }
}
