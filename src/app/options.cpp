// The table of mcwatch's options, the readers of the values of a form of their own, and the
// help made from the table.
#include "app/options.h"

#include <stdio.h>
#include <string.h>

#include "base/layout.h"
#include "base/log.h"
#include "base/numbers.h"

// Each rejoin sends a leave and a join onto the network: a silence shorter than this is no
// switch's ageing, and a rejoin after each would flood the link with membership reports.
#define REJOIN_MIN_US 100000

static int read_interface_option(const char *value, settings *options)
{
    stream_settings given = command_line_stream(options);
    if (parse_interface(value, &given) < 0) {
        log_line(stderr, "error", "invalid option");
        return -1;
    }
    options->interface_addr = given.interface_addr;
    options->interface_index = given.interface_index;
    options->interface_by_name = given.interface_by_name;
    options->interface_name = value;
    return 0;
}

// --listen's [<address>:]<port>: an IPv6 address in brackets ([::1]:9100), a port alone for
// 127.0.0.1, so that serving beyond the host is asked for by name.
static int read_listen(const char *text, settings *options)
{
    const char *colon = strrchr(text, ':');
    const char *host = text;
    size_t host_bytes = colon != nullptr ? static_cast<size_t>(colon - text) : 0;
    bool bracketed = host_bytes >= 2 && host[0] == '[' && host[host_bytes - 1] == ']';
    if (bracketed) {
        host++;
        host_bytes -= 2;
    }
    bool bad_host = (!bracketed && (memchr(host, ':', host_bytes) != nullptr ||
                                    memchr(host, '[', host_bytes) != nullptr)) ||
                    host_bytes >= sizeof options->listen_host;
    if (bad_host || (colon != nullptr && host_bytes == 0)) {
        log_line(stderr, "error", "invalid option");
        return -1;
    }
    const char *port = colon != nullptr ? colon + 1 : text;
    if (!read_port(port, &options->listen_port)) {
        log_line(stderr, "error", "invalid port \"%s\" for --listen: a whole number from 1 to "
                                  "65535", port);
        return -1;
    }
    if (colon == nullptr) {
        snprintf(options->listen_host, sizeof options->listen_host, "127.0.0.1");
    } else {
        memcpy(options->listen_host, host, host_bytes);
        options->listen_host[host_bytes] = '\0';
    }
    options->listen_text = text;
    return 0;
}

static int read_metrics_per(const char *text, settings *options)
{
    if (strcmp(text, "stream") != 0 && strcmp(text, "sender") != 0) {
        log_line(stderr, "error", "invalid --metrics-per \"%s\": stream or sender", text);
        return -1;
    }
    options->metrics_per_stream = text[1] == 't';
    return 0;
}

// The view shows what the lines would say; the summary is printed after it.
static int follow_top(const char *, settings *options)
{
    options->quiet = true;
    options->summary = true;
    return 0;
}

static int read_field(const char *text, bool count_field, seq_field *field)
{
    if (parse_seq_field(text, count_field, field) < 0) {
        log_line(stderr, "error", "invalid option");
        return -1;
    }
    return 0;
}

static int read_seq(const char *text, settings *options)
{
    return read_field(text, false, &options->seq);
}

static int read_seq_count(const char *text, settings *options)
{
    return read_field(text, true, &options->seq_count);
}

static int read_sent_at(const char *text, settings *options)
{
    if (parse_time_field(text, &options->sent_at) < 0) {
        log_line(stderr, "error", "invalid option");
        return -1;
    }
    options->have_sent_at = true;
    return 0;
}

// A count of up to this: ten times it still fits in 64 bits.
static const uint64_t count_max = UINT64_MAX / 10;

const command_option command_options[] = {
    {.short_name = 'g', .kind = OPTION_FLAG, .flag = &settings::check_gaps,
     .help = "check that numbers advance by one, report missed and extra"},
    {.short_name = 'f', .kind = OPTION_FLAG, .flag = &settings::short_seq,
     .help = "a 32-bit number at bytes 0 to 3 (default: 64-bit at 4 to 11)"},
    {.short_name = 's', .kind = OPTION_PERIOD, .value_name = "<period(ms)>",
     .most = PERIOD_MS_MAX, .scale = 1000, .number32 = &settings::period_us,
     .help = "print the period's counts every period (0: never)"},
    {.short_name = 'i', .kind = OPTION_OWN, .value_name = "<interface>",
     .read = read_interface_option,
     .help = "join on this interface: an IPv4 address, a name or an index"},
    {.short_name = 'v', .long_name = "verbose", .kind = OPTION_FLAG, .flag = &settings::verbose,
     .help = "say more: joins, extra datagrams, outages, the summary"},
    {.long_name = "summary", .kind = OPTION_FLAG, .flag = &settings::summary,
     .help = "at the end, each sender's exact counts and a total"},
    {.long_name = "per-sender", .kind = OPTION_FLAG, .flag = &settings::per_sender,
     .help = "-g and -s compare a datagram with its sender's previous one"},
    {.short_name = 'c', .long_name = "count", .kind = OPTION_COUNT, .value_name = "<count>",
     .least = 1, .most = count_max, .number = &settings::count_max,
     .help = "stop after this many datagrams, as an interrupt does"},
    {.long_name = "duration", .kind = OPTION_SECONDS, .value_name = "<seconds>",
     .most = 366u * 24 * 3600, .number = &settings::duration_us,
     .help = "stop after this long, as an interrupt does"},
    {.long_name = "max-lost", .kind = OPTION_COUNT, .value_name = "<count>", .most = count_max,
     .flag = &settings::have_max_lost, .number = &settings::max_lost,
     .help = "exit 1 when more than this were lost, or nothing came"},
    {.short_name = 'q', .long_name = "quiet", .kind = OPTION_FLAG, .flag = &settings::quiet,
     .help = "no datagram lines; every other line as without it"},
    {.long_name = "rcvbuf", .kind = OPTION_SIZE, .value_name = "<bytes>",
     .most = uint64_t(2) << 30, .number = &settings::rcvbuf_bytes,
     .help = "ask for this receive buffer (k, m suffixes; at most 2 GiB)"},
    {.long_name = "stall", .kind = OPTION_COUNT, .value_name = "<ms>", .least = 1,
     .most = PERIOD_MS_MAX, .number32 = &settings::stall_ms,
     .help = "say when nothing came for this long, and when it resumes"},
    {.long_name = "querier-timeout", .kind = OPTION_SECONDS, .value_name = "<seconds>",
     .most = 366u * 24 * 3600, .flag = &settings::querier_timeout_given,
     .number = &settings::querier_timeout_us,
     .help = "say when no multicast query came for this long (130)"},
    {.long_name = "pid-timeout", .kind = OPTION_SECONDS, .value_name = "<seconds>",
     .most = 366u * 24 * 3600, .number = &settings::pid_timeout_us,
     .help = "how long a PID a transport stream's PMT names may be absent (5)"},
    {.long_name = "rejoin", .kind = OPTION_SECONDS, .value_name = "<seconds>",
     .least = REJOIN_MIN_US, .most = 366u * 24 * 3600, .number = &settings::rejoin_us,
     .help = "leave and join again a stream silent this long (at least 0.1), and say so"},
    {.long_name = "json", .kind = OPTION_FLAG, .flag = &settings::json,
     .help = "JSON Lines on standard output instead of the text lines"},
    {.long_name = "prom", .kind = OPTION_FILE, .value_name = "<file>",
     .text = &settings::prom_path,
     .help = "write Prometheus metrics to this file every second"},
    {.long_name = "listen", .kind = OPTION_OWN, .value_name = "[<address>:]<port>",
     .read = read_listen, .help = "serve the metrics over HTTP (a port alone: 127.0.0.1)"},
    {.long_name = "report", .kind = OPTION_FILE, .value_name = "<file.html>",
     .text = &settings::report_path, .help = "at the end, write an HTML page of the run"},
    {.long_name = "metrics-per", .kind = OPTION_OWN, .value_name = "stream|sender",
     .flag = &settings::metrics_per_given, .read = read_metrics_per, .values = "stream, sender",
     .help = "a series per sender (the default) or per stream"},
    {.long_name = "top", .kind = OPTION_FLAG, .flag = &settings::top, .read = follow_top,
     .help = "a full-screen view of every stream, redrawn every second"},
    {.long_name = "seq", .kind = OPTION_OWN, .value_name = "<offset>:<bytes>[:le|be]",
     .flag = &settings::seq_given, .read = read_seq,
     .help = "the number: 2, 4 or 8 bytes at this offset"},
    {.long_name = "seq-count", .kind = OPTION_OWN, .value_name = "<offset>:<bytes>[:le|be]",
     .flag = &settings::seq_count_given, .read = read_seq_count,
     .help = "with --seq: a count of the numbers carried"},
    {.long_name = "sent-at", .kind = OPTION_OWN, .value_name = "<offset>:<bytes>[:le|be]:<unit>",
     .flag = &settings::sent_at_given, .read = read_sent_at,
     .help = "the sender's clock (ns, us, ms, s)"},
    {.long_name = "format", .kind = OPTION_TEXT, .value_name = "<name>",
     .text = &settings::format_name, .values = layout_preset_names,
     .help = "a protocol's layout: rtp, rtp-mpegts, mpegts, moldudp64, mdp3"},
    {.long_name = "config", .kind = OPTION_TEXT, .value_name = "<file>",
     .text = &settings::config_path,
     .help = "watch the streams of a TOML file instead of a group"},
    {.long_name = "arbitration", .kind = OPTION_COUNT, .value_name = "<ms>", .least = 1,
     .most = PERIOD_MS_MAX, .scale = 1000, .flag = &settings::arbitration_given,
     .number = &settings::arbitration_us,
     .help = "how long a feed waits for a line to fill a hole (50)"},
    {.long_name = "max-skew", .kind = OPTION_COUNT, .value_name = "<ms>", .most = PERIOD_MS_MAX,
     .scale = 1000, .number = &settings::max_skew_us,
     .help = "a copy later than this after the first is beyond a receiver's window"},
    {.short_name = 'r', .long_name = "read", .kind = OPTION_TEXT, .value_name = "<capture>",
     .text = &settings::read_path,
     .help = "read a pcap or pcapng file (-: standard input), join nothing"},
    {.short_name = 'h', .long_name = "help", .kind = OPTION_HELP,
     .help = "show this help and exit"},
    {.short_name = 'V', .long_name = "version", .kind = OPTION_VERSION,
     .help = "show the version and exit"},
};

const int command_option_count = sizeof command_options / sizeof command_options[0];

static const char synopsis[] =
    "usage: mcwatch [-g] [-f] [-s <period(ms)>] [-i <interface>] [-v] [--summary] [--per-sender]\n"
    "               [<option>...] <host> <port> [<source_host>]\n"
    "       mcwatch [<option>...] --config <file> [--arbitration <ms>] [--max-skew <ms>]\n"
    "       mcwatch [<option>...] -r <capture> [--config <file> | <host> <port> [<source_host>]]\n"
    "\n"
    "Watches UDP multicast streams and accounts for every sequence number. Options come\n"
    "before the positional arguments:\n";

// Where the help of an option begins; a longer name and value push it on.
static const int help_column = 35;

// "  -c, --count <count>": the option's names and its value, as the help heads its line.
static int option_head(const command_option *o, char *head, size_t head_bytes)
{
    char names[48];
    if (o->long_name == nullptr)
        snprintf(names, sizeof names, "-%c", o->short_name);
    else if (o->short_name == '\0')
        snprintf(names, sizeof names, "    --%s", o->long_name);
    else
        snprintf(names, sizeof names, "-%c, --%s", o->short_name, o->long_name);
    return snprintf(head, head_bytes, "  %s%s%s", names, o->value_name != nullptr ? " " : "",
                    o->value_name != nullptr ? o->value_name : "");
}

void print_help()
{
    fputs(synopsis, stdout);
    for (int i = 0; i < command_option_count; i++) {
        const command_option &o = command_options[i];
        char head[96];
        int length = option_head(&o, head, sizeof head);
        printf("%s%*s%s\n", head, length < help_column ? help_column - length : 2, "", o.help);
    }
    fputs("\nSee mcwatch(1) for the details.\n", stdout);
}
