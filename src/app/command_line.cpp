#include "app/app.h"

#include <ctype.h>
#include <string.h>

#include "app/config.h"
#include "base/log.h"
#include "monitor/feed.h"
#include "monitor/querier.h"
#include "monitor/ts.h"

// Skips blanks and a sign, then reads decimal digits as strtoul would, but saturating at
// limit + 1 (and staying there: the next digit would pass 64 bits) so that no text can
// overflow. Returns the number of digits read; *negative tells
// whether a minus sign came first. Anything after the digits is ignored.
static int read_number(const char *text, uint64_t limit, uint64_t *value, bool *negative)
{
    while (isspace(static_cast<unsigned char>(*text)))
        text++;
    *negative = *text == '-';
    if (*text == '-' || *text == '+')
        text++;
    int digits = 0;
    *value = 0;
    for (; isdigit(static_cast<unsigned char>(*text)); text++, digits++) {
        if (*value > limit)
            continue;
        uint64_t digit = static_cast<uint64_t>(*text - '0');
        // Compared before it is added: with a limit near 2^64 the sum itself would wrap.
        *value = *value > (limit - digit) / 10 ? limit + 1 : *value * 10 + digit;
    }
    return digits;
}

// A period of more than this many milliseconds does not fit in 32-bit microseconds.
static const uint64_t period_ms_max = UINT32_MAX / 1000;

static int read_period(const char *text, uint32_t *period_us)
{
    uint64_t period_ms;
    bool negative;
    if (read_number(text, period_ms_max, &period_ms, &negative) == 0 || negative ||
        period_ms > period_ms_max) {
        log_line(stderr, "error", "invalid option");
        return -1;
    }
    *period_us = static_cast<uint32_t>(period_ms * 1000);
    return 0;
}

static int read_port(const char *text, uint16_t *port)
{
    uint64_t value;
    bool negative;
    if (read_number(text, 65535, &value, &negative) == 0 || negative || value == 0 ||
        value > 65535) {
        log_line(stderr, "error", "invalid port");
        return -1;
    }
    *port = static_cast<uint16_t>(value);
    return 0;
}

// --listen's port: digits alone (no sign, blank or trailing text), 1 to 65535. Returns 0, or
// -1 after an error line naming the option.
static int read_listen_port(const char *text, uint16_t *port)
{
    size_t digits = strspn(text, "0123456789");
    uint64_t value = 0;
    bool negative = false;
    if (digits == 0 || text[digits] != '\0' ||
        read_number(text, 65535, &value, &negative) == 0 || value == 0 || value > 65535) {
        log_line(stderr, "error", "invalid port \"%s\" for --listen: a whole number from 1 to "
                                  "65535", text);
        return -1;
    }
    *port = static_cast<uint16_t>(value);
    return 0;
}

// --listen's [<address>:]<port>: an IPv6 address in brackets ([::1]:9100), a port alone for
// 127.0.0.1, so that serving beyond the host is asked for by name. Returns 0, or -1 after
// an error line.
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
    if (read_listen_port(colon != nullptr ? colon + 1 : text, &options->listen_port) < 0)
        return -1;
    if (colon == nullptr) {
        snprintf(options->listen_host, sizeof options->listen_host, "127.0.0.1");
    } else {
        memcpy(options->listen_host, host, host_bytes);
        options->listen_host[host_bytes] = '\0';
    }
    options->listen_text = text;
    return 0;
}

static const char help_text[] =
    "usage: mcwatch [-g] [-f] [-s <period(ms)>] [-i <interface>] [-v] [--summary] [--per-sender]\n"
    "               [-c <count>] [--duration <seconds>] [--max-lost <count>] [-q]\n"
    "               [--rcvbuf <bytes>] [--stall <ms>] [--json] [--prom <file>]\n"
    "               [--listen [<address>:]<port>] [--metrics-per stream|sender] [--top]\n"
    "               [--querier-timeout <seconds>] [--pid-timeout <seconds>]\n"
    "               [--rejoin <seconds>]\n"
    "               [--report <file.html>]\n"
    "               [--format <name> | --seq <offset>:<bytes>[:le|be]\n"
    "                [--seq-count <offset>:<bytes>[:le|be]]]\n"
    "               [--sent-at <offset>:<bytes>[:le|be]:<unit>]\n"
    "               <host> <port> [<source_host>]\n"
    "       mcwatch [options] --config <file> [--arbitration <ms>] [--max-skew <ms>]\n"
    "       mcwatch [options] -r <capture> [--config <file> | <host> <port> [<source_host>]]\n"
    "\n"
    "Watches UDP multicast streams (the group given, every stream of a --config file, or the\n"
    "streams of a -r capture) and prints a line for each datagram, with the sequence number\n"
    "read from its payload, until interrupted (Ctrl+C or SIGTERM).\n"
    "\n"
    "  -g               check that sequence numbers advance by one; report missed and extra\n"
    "                   datagrams\n"
    "  -f               the sequence number is a signed 32-bit little-endian number at bytes\n"
    "                   0 to 3 (default: signed 64-bit little-endian at bytes 4 to 11)\n"
    "  -s <period(ms)>  every period print the datagrams and missed numbers (counted with\n"
    "                   -g) since the last report; 1 to 4294967 ms, 0 means never\n"
    "  -i <interface>   join on this interface: an IPv4 address, a name (eth0) or an index\n"
    "  -v, --verbose    say what was joined; after each extra datagram, what it was for its\n"
    "                   sender (late, duplicate, stale, restart); after each missed one, its\n"
    "                   outage (the time since the datagram before the hole, as the kernel\n"
    "                   stamped their arrival); after each statistics line, the period's\n"
    "                   rate and inter-arrival times; the summary at the end; with\n"
    "                   --max-lost, the verdict and why\n"
    "      --summary    at the end, one line per sender with its exact counts and outages,\n"
    "                   and a total\n"
    "      --per-sender -g and the gaps of -s compare each datagram with the previous one from\n"
    "                   the same sender, and gap lines name the sender\n"
    "  -c, --count <count>     stop after this many datagrams, as an interrupt does\n"
    "      --duration <seconds>  stop after this long, as an interrupt does\n"
    "      --max-lost <count>  exit 1 when more numbers than this were lost over all\n"
    "                   senders, datagrams this host dropped counted, or when no datagram\n"
    "                   came; 0 otherwise\n"
    "  -q, --quiet      no datagram lines; every other line as without it\n"
    "      --rcvbuf <bytes>  ask for this receive buffer (k and m suffixes: KiB, MiB; at most\n"
    "                   2 GiB) and say what was granted; without it, on Linux, a third\n"
    "                   more than the system's default, room for the loop's naps\n"
    "      --stall <ms>  say when no datagram came for this long, and when they resume\n"
    "      --querier-timeout <seconds>  say when no multicast query came on an interface\n"
    "                   for this long since the join or the last query (default 130; on\n"
    "                   with -v, --json, --prom and --listen, which also say each\n"
    "                   querier heard). Queries are heard on Linux with CAP_NET_RAW\n"
    "      --pid-timeout <seconds>  with a transport stream's layout, how long a PID\n"
    "                   named in a PMT may be absent before it is an error (default 5)\n"
    "      --rejoin <seconds>  leave and join again a stream that has been silent this\n"
    "                   long since its last datagram or join, as a snooping switch that\n"
    "                   aged the port out needs, and say so; the summary counts rejoins\n"
    "      --json       JSON Lines on standard output instead of the text lines (the schema\n"
    "                   is in the manual page); errors stay text on standard error\n"
    "      --prom <file>  write Prometheus metrics to the file every second and at the end,\n"
    "                   replacing it whole (for node_exporter's textfile collector)\n"
    "      --listen [<address>:]<port>  serve the same metrics over HTTP at /metrics\n"
    "                   (and mcwatch_build_info, process_start_time_seconds), rendered every\n"
    "                   second; a port alone serves 127.0.0.1 only, an address (0.0.0.0,\n"
    "                   [::]) serves beyond this host. A port in use fails the run\n"
    "      --report <file.html>  at the end, write a page to look at: what was watched\n"
    "                   and the verdict, every stream and feed worst first, and for the\n"
    "                   worst streams a timeline over the run (datagrams, missed numbers,\n"
    "                   outages, host drops), the times between datagrams and the delays;\n"
    "                   one self-contained HTML file, replaced whole. With --listen, the\n"
    "                   page of the run so far is served at / too, drawn only while asked\n"
    "      --metrics-per stream|sender  the detail of --prom and --listen: sender (the\n"
    "                   default) a series per sender of each counter; stream one per\n"
    "                   stream, summed over its senders, with no sender label and no\n"
    "                   mcwatch_last_sequence\n"
    "      --top        a full-screen view of every stream (a row per sender of a lone\n"
    "                   stream, a row per feed under its lines), redrawn every second or\n"
    "                   -s period: rate, received, lost, late, duplicates, this host's\n"
    "                   drops, last number, silence; rows whose loss rose or that are\n"
    "                   silent past --stall (5 s) stand out and come first. Keys: s sorts\n"
    "                   (worst, name, rate), p pauses, q stops as Ctrl+C does; the summary\n"
    "                   follows the view. Needs a terminal; not with --json or -r, nor on\n"
    "                   Windows\n"
    "      --seq <offset>:<bytes>[:le|be]  the sequence number is an unsigned number of 2, 4\n"
    "                   or 8 bytes at this offset (0 to 65505), little-endian unless :be; a\n"
    "                   datagram too short for it is shown and counted as short\n"
    "      --seq-count <offset>:<bytes>[:le|be]  with --seq: a count of 1, 2 or 4 bytes of\n"
    "                   the numbers each datagram carries from its number on, clear of\n"
    "                   --seq's bytes; a count of 0 is a heartbeat whose number is the next\n"
    "                   expected; counts are then of numbers (messages)\n"
    "      --sent-at <offset>:<bytes>[:le|be]:<unit>  the sender's clock in the payload, 8\n"
    "                   bytes counting ns, us, ms or s since 1970, or 4 counting s: with -s\n"
    "                   and -v, each period's one-way delay (needs synchronised clocks)\n"
    "      --format <name>  a protocol's layout:\n"
    "                   rtp        --seq 2:2:be (RFC 3550, 5.1)\n"
    "                   moldudp64  --seq 10:8:be --seq-count 18:2:be; the session (bytes 0\n"
    "                              to 9) is part of the sender, count 65535 ends it\n"
    "                              (Nasdaq MoldUDP64 1.00)\n"
    "                   mdp3       --seq 0:4:le --sent-at 4:8:le:ns (CME MDP 3.0 packet\n"
    "                              header: MsgSeqNum, SendingTime)\n"
    "                   rtp-mpegts as rtp, then MPEG transport stream packets: each PID's\n"
    "                              continuity, sync bytes and sync loss are checked\n"
    "                              (-g says each error, the summary counts them); a\n"
    "                              break is the network's where the RTP numbers show\n"
    "                              a gap between the PID's packets, else the source's\n"
    "                   mpegts     transport stream packets alone: no number, so the\n"
    "                              datagrams are counted unjudged, a break's cause unknown\n"
    "                   both also check the PAT and each PMT it names (absent over\n"
    "                   0.5 s, another table on the PID, scrambled) and each PID a PMT\n"
    "                   names (absent over --pid-timeout)\n"
    "                   16-bit numbers follow RFC 3550's limits: 3000 ahead is a gap, 100\n"
    "                   back late or a duplicate, anything else a restart once the next\n"
    "                   datagram agrees; wider ones the 65536-number window\n"
    "      --config <file>  watch the streams of a TOML file instead of a group on the\n"
    "                   command line: [[stream]] tables with name, group, port, source,\n"
    "                   interface, format, seq, seq_count, sent_at and feed, and a\n"
    "                   [defaults] table for all but name, group and port. Every other\n"
    "                   option applies to every stream; each line but a datagram's ends\n"
    "                   \" on <name>\", JSON carries \"stream\" and \"feed\", metrics the\n"
    "                   labels stream and feed. Streams of one feed are its redundant\n"
    "                   lines: a number is lost on the feed only when no line delivered\n"
    "                   it (\"Feed <feed> lost: 20 - 24\" with -g), and --max-lost judges\n"
    "                   the feed by that. At most 4096 streams; the file is ASCII (other\n"
    "                   characters as \\uXXXX escapes in quotes) and under 16 MiB\n"
    "      --arbitration <ms>  how long a feed waits, after its first line passed a\n"
    "                   number, for another line to deliver it (1 to 4294967, default 50):\n"
    "                   a hole is decided then, and a line's reorder within it is no loss.\n"
    "                   Only with --config\n"
    "      --max-skew <ms>  a copy that came more than this after its number's first copy\n"
    "                   (0 to 4294967) is beyond a receiver's window: counted per line as\n"
    "                   beyond, and a number only such copies delivered as the feed's lost\n"
    "                   in window. Only with --config\n"
    "  -r, --read <capture>  read a pcap or pcapng file (- for standard input) instead of\n"
    "                   joining: the datagrams to <host> and <port> (which may be unicast),\n"
    "                   or each --config stream's, or else every multicast group and port\n"
    "                   in it as a stream of its own, named <group>:<port>; on the\n"
    "                   capture's own time. Ethernet (802.1Q/802.1ad tags, PPPoE), Linux\n"
    "                   cooked (SLL, SLL2), raw IP and BSD loopback; fragments and frames\n"
    "                   cut short before their number are counted, not judged. Not with -i\n"
    "                   or --rcvbuf; the Windows build cannot read captures\n"
    "  -h, --help       show this help and exit\n"
    "  -V, --version    show the version and exit\n"
    "  <host>           the group: an IPv4 or IPv6 multicast address, or a name (the first\n"
    "                   multicast address it resolves to); a zone by name or index\n"
    "                   (ff15::1%eth0, ff15::1%2) names the interface\n"
    "  <port>           the UDP port, 1 to 65535\n"
    "  <source_host>    receive only what this source sends (source-specific membership)\n"
    "\n"
    "Options come before the positional arguments; only one of -f, --seq and --format may be\n"
    "given. On POSIX, SIGUSR1 prints the summary so far and the run goes on. At a stop every\n"
    "line is written out and the summary last; a reader that reads nothing for 2 s fails the\n"
    "run, and a second interrupt ends it at once. Exit status: 0 after an interrupt or a\n"
    "limit; 1 when --max-lost judged the run lost; 255 after a failure.\n";

// The value after -s or -i is the next argument, whatever it begins with.
static const char *option_value(int argc, char **argv, int *index)
{
    if (++*index >= argc) {
        log_line(stderr, "error", "invalid option");
        return nullptr;
    }
    return argv[*index];
}

// Whether option is the long option name, alone ("--count 5") or with its value ("--count=5");
// *inline_value is the value after '=' or null.
static bool is_long_option(const char *option, const char *name, const char **inline_value)
{
    size_t length = strlen(name);
    if (strncmp(option, name, length) != 0 || (option[length] != '\0' && option[length] != '='))
        return false;
    *inline_value = option[length] == '=' ? option + length + 1 : nullptr;
    return true;
}

// A whole number from 1 (0 with allow_zero) to limit, digits only.
static int read_count(const char *text, uint64_t limit, bool allow_zero, uint64_t *count)
{
    uint64_t value;
    bool negative;
    size_t digits = static_cast<size_t>(read_number(text, limit, &value, &negative));
    if (digits == 0 || digits != strlen(text) || negative || value > limit ||
        (value == 0 && !allow_zero)) {
        log_line(stderr, "error", "invalid option");
        return -1;
    }
    *count = value;
    return 0;
}

// Bytes, with an optional k or m suffix (KiB, MiB): above 0 and at most 2 GiB.
static int read_size(const char *text, uint64_t *size_bytes)
{
    uint64_t value;
    bool negative;
    const uint64_t most = uint64_t(2) << 30;
    size_t digits = static_cast<size_t>(read_number(text, most, &value, &negative));
    const char *suffix = text + digits;
    uint64_t unit = 1;
    if (*suffix == 'k' || *suffix == 'K')
        unit = 1024;
    else if (*suffix == 'm' || *suffix == 'M')
        unit = 1024 * 1024;
    size_t length = digits + (unit == 1 ? 0 : 1);
    if (digits == 0 || negative || length != strlen(text) || value == 0 || value > most ||
        value * unit > most) {
        log_line(stderr, "error", "invalid option");
        return -1;
    }
    *size_bytes = value * unit;
    return 0;
}

// Seconds as a decimal number with up to six places ("1.", ".5" and "0.5" alike), above 0
// and at most a year.
static int read_seconds(const char *text, uint64_t *duration_us)
{
    uint64_t whole = 0, fraction_us = 0;
    const char *at = text;
    int digits = 0;
    for (; *at >= '0' && *at <= '9' && digits < 9; at++, digits++)
        whole = whole * 10 + static_cast<uint64_t>(*at - '0');
    if (*at == '.') {
        uint64_t scale = 100000;
        for (at++; *at >= '0' && *at <= '9' && scale > 0; at++, scale /= 10, digits++)
            fraction_us += static_cast<uint64_t>(*at - '0') * scale;
    }
    uint64_t total_us = whole * 1000000 + fraction_us;
    if (digits == 0 || *at != '\0' || total_us == 0 || whole > 366u * 24 * 3600) {
        log_line(stderr, "error", "invalid option");
        return -1;
    }
    *duration_us = total_us;
    return 0;
}

// --metrics-per's detail: "stream" or "sender".
static int read_metrics_per(const char *text, settings *options)
{
    if (strcmp(text, "stream") != 0 && strcmp(text, "sender") != 0) {
        log_line(stderr, "error", "invalid --metrics-per \"%s\": stream or sender", text);
        return -1;
    }
    options->metrics_per_stream = text[1] == 't';
    options->metrics_per_given = true;
    return 0;
}

// Reads the value of an option that takes one: after '=', or the next argument.
static const char *value_of(const char *inline_value, int argc, char **argv, int *index)
{
    return inline_value != nullptr ? inline_value : option_value(argc, argv, index);
}

// A file's name as an option's value (--prom, --report): any text but none. Returns 0, or -1
// after an error line.
static int read_file_name(const char *inline_value, int argc, char **argv, int *index,
                          const char **path)
{
    *path = value_of(inline_value, argc, argv, index);
    if (*path == nullptr)
        return -1;
    if ((*path)[0] == '\0') {
        log_line(stderr, "error", "invalid option");
        return -1;
    }
    return 0;
}

// The options that go beyond the classic set. Returns 1 when the option was one of them and
// was read, 0 when it is none of them, -1 after an error line.
static int read_extra_option(int argc, char **argv, int *index, settings *options)
{
    const char *option = argv[*index];
    const char *inline_value = nullptr;
    const char *value = nullptr;
    if (strcmp(option, "-v") == 0 || strcmp(option, "--verbose") == 0) {
        options->verbose = true;
    } else if (strcmp(option, "--summary") == 0) {
        options->summary = true;
    } else if (strcmp(option, "--per-sender") == 0) {
        options->per_sender = true;
    } else if (strcmp(option, "-c") == 0 || is_long_option(option, "--count", &inline_value)) {
        value = value_of(inline_value, argc, argv, index);
        if (value == nullptr || read_count(value, UINT64_MAX / 10, false, &options->count_max) < 0)
            return -1;
    } else if (is_long_option(option, "--duration", &inline_value)) {
        value = value_of(inline_value, argc, argv, index);
        if (value == nullptr || read_seconds(value, &options->duration_us) < 0)
            return -1;
    } else if (strcmp(option, "--json") == 0) {
        options->json = true;
    } else if (strcmp(option, "--top") == 0) {
        // The view shows what the lines would say; the summary is printed after it.
        options->top = true;
        options->quiet = true;
        options->summary = true;
    } else if (is_long_option(option, "--prom", &inline_value)) {
        if (read_file_name(inline_value, argc, argv, index, &options->prom_path) < 0)
            return -1;
    } else if (is_long_option(option, "--report", &inline_value)) {
        if (read_file_name(inline_value, argc, argv, index, &options->report_path) < 0)
            return -1;
    } else if (is_long_option(option, "--listen", &inline_value)) {
        value = value_of(inline_value, argc, argv, index);
        if (value == nullptr || read_listen(value, options) < 0)
            return -1;
    } else if (is_long_option(option, "--metrics-per", &inline_value)) {
        value = value_of(inline_value, argc, argv, index);
        if (value == nullptr || read_metrics_per(value, options) < 0)
            return -1;
    } else if (strcmp(option, "-q") == 0 || strcmp(option, "--quiet") == 0) {
        options->quiet = true;
    } else if (is_long_option(option, "--rcvbuf", &inline_value)) {
        value = value_of(inline_value, argc, argv, index);
        if (value == nullptr || read_size(value, &options->rcvbuf_bytes) < 0)
            return -1;
    } else if (is_long_option(option, "--stall", &inline_value)) {
        uint64_t stall_ms = 0;
        value = value_of(inline_value, argc, argv, index);
        if (value == nullptr || read_count(value, period_ms_max, false, &stall_ms) < 0)
            return -1;
        options->stall_ms = static_cast<uint32_t>(stall_ms);
    } else if (is_long_option(option, "--querier-timeout", &inline_value)) {
        value = value_of(inline_value, argc, argv, index);
        if (value == nullptr || read_seconds(value, &options->querier_timeout_us) < 0)
            return -1;
        options->querier_timeout_given = true;
    } else if (is_long_option(option, "--pid-timeout", &inline_value)) {
        value = value_of(inline_value, argc, argv, index);
        if (value == nullptr || read_seconds(value, &options->pid_timeout_us) < 0)
            return -1;
    } else if (is_long_option(option, "--rejoin", &inline_value)) {
        value = value_of(inline_value, argc, argv, index);
        if (value == nullptr || read_seconds(value, &options->rejoin_us) < 0)
            return -1;
    } else if (is_long_option(option, "--seq", &inline_value) ||
               is_long_option(option, "--seq-count", &inline_value)) {
        bool count_field = option[5] == '-';
        value = value_of(inline_value, argc, argv, index);
        if (value == nullptr ||
            parse_seq_field(value, count_field, count_field ? &options->seq_count : &options->seq) < 0) {
            if (value != nullptr)
                log_line(stderr, "error", "invalid option");
            return -1;
        }
        (count_field ? options->seq_count_given : options->seq_given) = true;
    } else if (is_long_option(option, "--sent-at", &inline_value)) {
        value = value_of(inline_value, argc, argv, index);
        if (value == nullptr || parse_time_field(value, &options->sent_at) < 0) {
            if (value != nullptr)
                log_line(stderr, "error", "invalid option");
            return -1;
        }
        options->have_sent_at = true;
        options->sent_at_given = true;
    } else if (is_long_option(option, "--format", &inline_value)) {
        options->format_name = value_of(inline_value, argc, argv, index);
        if (options->format_name == nullptr)
            return -1;
    } else if (is_long_option(option, "--max-lost", &inline_value)) {
        value = value_of(inline_value, argc, argv, index);
        if (value == nullptr || read_count(value, UINT64_MAX / 10, true, &options->max_lost) < 0)
            return -1;
        options->have_max_lost = true;
    } else if (strcmp(option, "-r") == 0 || is_long_option(option, "--read", &inline_value)) {
        options->read_path = value_of(inline_value, argc, argv, index);
        if (options->read_path == nullptr)
            return -1;
    } else if (is_long_option(option, "--config", &inline_value)) {
        options->config_path = value_of(inline_value, argc, argv, index);
        if (options->config_path == nullptr)
            return -1;
    } else if (is_long_option(option, "--arbitration", &inline_value)) {
        uint64_t arbitration_ms = 0;
        value = value_of(inline_value, argc, argv, index);
        if (value == nullptr || read_count(value, period_ms_max, false, &arbitration_ms) < 0)
            return -1;
        options->arbitration_us = arbitration_ms * 1000;
        options->arbitration_given = true;
    } else if (is_long_option(option, "--max-skew", &inline_value)) {
        uint64_t skew_ms = 0;
        value = value_of(inline_value, argc, argv, index);
        if (value == nullptr || read_count(value, period_ms_max, true, &skew_ms) < 0)
            return -1;
        options->max_skew_us = skew_ms * 1000;
    } else {
        return 0;
    }
    return 1;
}

// Reads the options before the positionals; returns the index of the first positional, 0
// after printing the help or the version, or -1.
static int read_options(int argc, char **argv, settings *options)
{
    int index = 1;
    for (; index < argc && argv[index][0] == '-'; index++) {
        const char *option = argv[index];
        if (strcmp(option, "-h") == 0 || strcmp(option, "--help") == 0) {
            fputs(help_text, stdout);
            return 0;
        } else if (strcmp(option, "-V") == 0 || strcmp(option, "--version") == 0) {
            fputs("mcwatch " MCWATCH_VERSION "\n", stdout);
            return 0;
        } else if (strcmp(option, "-g") == 0) {
            options->check_gaps = true;
        } else if (strcmp(option, "-f") == 0) {
            options->short_seq = true;
        } else if (strcmp(option, "-s") == 0) {
            const char *value = option_value(argc, argv, &index);
            if (value == nullptr || read_period(value, &options->period_us) < 0)
                return -1;
        } else if (strcmp(option, "-i") == 0) {
            const char *value = option_value(argc, argv, &index);
            if (value == nullptr)
                return -1;
            stream_settings given = command_line_stream(options);
            if (parse_interface(value, &given) < 0) {
                log_line(stderr, "error", "invalid option");
                return -1;
            }
            options->interface_addr = given.interface_addr;
            options->interface_index = given.interface_index;
            options->interface_by_name = given.interface_by_name;
            options->interface_name = value;
        } else {
            int extra = read_extra_option(argc, argv, &index, options);
            if (extra < 0)
                return -1;
            if (extra == 0) {
                log_line(stderr, "error", "unknown option");
                return -1;
            }
        }
    }
    return index;
}

// The layout from -f, --seq, --seq-count and --format, of which only one of the first, the
// second and the last may be given. Returns 0, or -1 after an error line.
static int choose_layout(settings *options)
{
    const char *given[3];
    int count = 0;
    if (options->short_seq)
        given[count++] = "-f";
    if (options->seq_given)
        given[count++] = "--seq";
    if (options->format_name != nullptr)
        given[count++] = "--format";
    if (count > 1) {
        log_line(stderr, "error", "%s and %s cannot be given together", given[0], given[1]);
        return -1;
    }
    if (options->seq_count_given && options->format_name != nullptr) {
        log_line(stderr, "error", "--format and --seq-count cannot be given together");
        return -1;
    }
    if (options->seq_count_given && options->seq_given &&
        fields_overlap(&options->seq, &options->seq_count)) {
        log_line(stderr, "error", "--seq-count must not overlap --seq");
        return -1;
    }
    if (options->seq_count_given && !options->seq_given) {
        log_line(stderr, "error", "--seq-count needs --seq");
        return -1;
    }
    options->layout = classic_layout(options->short_seq);
    if (options->format_name != nullptr &&
        find_layout_preset(options->format_name, &options->layout) < 0) {
        log_line(stderr, "error", "Unknown format \"%s\" (known: %s)", options->format_name,
                 layout_preset_names);
        return -1;
    }
    // A protocol that carries the sender's clock is read by it, unless --sent-at says otherwise.
    if (options->layout.have_sent_at && !options->have_sent_at) {
        options->have_sent_at = true;
        options->sent_at = options->layout.sent_at;
    }
    if (options->seq_given)
        options->layout = given_layout(&options->seq,
                                       options->seq_count_given ? &options->seq_count : nullptr);
    return 0;
}

int read_command_line(int argc, char **argv, settings *options)
{
    *options = settings{};
    options->argc = argc;
    options->argv = argv;
    options->interface_addr.s_addr = htonl(INADDR_ANY);
    options->arbitration_us = FEED_ARBITRATION_DEFAULT_US;
    options->max_skew_us = FEED_NO_MAX_SKEW;
    options->querier_timeout_us = QUERIER_TIMEOUT_DEFAULT_US;
    options->pid_timeout_us = TS_PID_TIMEOUT_DEFAULT_US;
    int first = read_options(argc, argv, options);
    if (first <= 0)
        return first < 0 ? -1 : 1;
    if (choose_layout(options) < 0)
        return -1;
    // What only means something live is refused with a capture, by name.
    if (options->read_path != nullptr && (options->interface_name != nullptr ||
                                          options->rcvbuf_bytes != 0 || options->rejoin_us != 0)) {
        log_line(stderr, "error", "%s cannot be given with -r: a capture joins nothing",
                 options->interface_name != nullptr ? "-i"
                 : options->rcvbuf_bytes != 0      ? "--rcvbuf"
                                                   : "--rejoin");
        return -1;
    }
    if (options->top && options->json) {
        log_line(stderr, "error", "--top and --json cannot be given together");
        return -1;
    }
    if (options->read_path != nullptr && options->top) {
        log_line(stderr, "error", "--top cannot be given with -r: a capture is read to its end "
                                  "at once");
        return -1;
    }
    if (options->read_path != nullptr && options->listen_text != nullptr) {
        log_line(stderr, "error", "--listen cannot be given with -r: a capture is read to its "
                                  "end at once (--prom writes its metrics)");
        return -1;
    }
    if (options->metrics_per_given && !renders_metrics(options)) {
        log_line(stderr, "error", "--metrics-per needs --prom or --listen: only the metrics "
                                  "have series to sum");
        return -1;
    }
    if ((options->arbitration_given || options->max_skew_us != FEED_NO_MAX_SKEW) &&
        options->config_path == nullptr) {
        log_line(stderr, "error", "%s needs --config: only a config's streams make feeds",
                 options->arbitration_given ? "--arbitration" : "--max-skew");
        return -1;
    }
    if (options->config_path != nullptr) {
        if (argc - first > 0) {
            log_line(stderr, "error", "--config and a group on the command line cannot be given "
                                      "together");
            return -1;
        }
        return read_config(options->config_path, options);
    }
    // A capture alone: every multicast group and port in it is a stream of its own.
    if (options->read_path != nullptr && argc - first == 0)
        return 0;
    if (argc - first < 2) {
        // An empty argument vector has no program name to show.
        const char *program = argc > 0 && argv[0] != nullptr ? argv[0] : "mcwatch";
        log_line(stderr, "error", "%s [-g] [-f] [-s <period(ms)>] <host> <port> [<source_host>]\n",
                 program);
        return -1;
    }
    options->host = argv[first];
    if (read_port(argv[first + 1], &options->port) < 0)
        return -1;
    if (argc - first >= 3)
        options->source_host = argv[first + 2];
    return 0;
}
