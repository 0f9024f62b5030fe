#include "mcfeed.h"

#include <errno.h>
#include <getopt.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base/numbers.h"
#include "net/interface.h"

static const char usage[] =
    "usage: mcfeed [options] <group> <port> [<group> <port>]...\n"
    "  <group> is an IPv4 or IPv6 multicast address or a name; with several, the same\n"
    "  sequence goes to each (the redundant lines of a feed), every fault is decided for\n"
    "  each group on its own and recorded with it (\"dropped seq 17 on 239.1.2.4:5001\"),\n"
    "  the rate is of numbers per group, spread evenly over the groups, and heartbeats come\n"
    "  only at the end\n"
    "  -n, --count N         sequence numbers to send (default: until interrupted)\n"
    "  -d, --duration S      seconds to send for (default: until interrupted)\n"
    "  -r, --rate PPS        datagrams a second, paced evenly (default 10; 0: as fast as\n"
    "                        possible, only with --count or --duration)\n"
    "  -l, --length BYTES    payload length (default 64, at most 65507)\n"
    "  -f                    32-bit sequence number at bytes 0 to 3 (default: 64-bit at 4 to 11)\n"
    "      --format NAME     a protocol's layout: rtp (RTP header, number at bytes 2 to 3),\n"
    "                        moldudp64 (session, number, count and message blocks), mdp3\n"
    "                        (number at bytes 0 to 3, little-endian)\n"
    "      --seq OFF:BYTES[:le|be]  an unsigned number of 2, 4 or 8 bytes at this offset\n"
    "      --seq-count OFF:BYTES[:le|be]  with --seq, a count of 1, 2 or 4 bytes: each\n"
    "                        datagram carries that many numbers (not over --seq's bytes)\n"
    "      --messages N      with a count field, each datagram carries 1 to N numbers, drawn\n"
    "                        from the seed (default 1)\n"
    "      --heartbeat MS    with a count field, a heartbeat (count 0, the next number) after\n"
    "                        MS ms without a datagram, and one at the end\n"
    "      --session TEXT    MoldUDP64's session, up to 10 characters (default MCFEED)\n"
    "      --stamp[=OFF]     write the send time at OFF (default 12): nanoseconds since 1970,\n"
    "                        8 bytes little-endian (--format mdp3 writes its SendingTime\n"
    "                        at 4 always), clear of the layout's fields (moldudp64: in a\n"
    "                        message, at 22)\n"
    "      --start SEQ       first sequence number (default 0)\n"
    "  -i, --interface IF    outgoing interface: an IPv4 address, a name or an index\n"
    "  -b, --bind ADDR       source address (IPv4 or IPv6, the group's family)\n"
    "  -t, --ttl N           multicast time to live (default 1)\n"
    "      --no-loop         do not loop datagrams back to this host\n"
    "      --seed N          seed of the fault decisions (default 1)\n"
    "      --drop P          drop each sequence number with probability P\n"
    "      --duplicate P     send each sequence number twice with probability P\n"
    "      --reorder P       swap each sequence number with the next with probability P\n"
    "      --drop-every N    drop every Nth datagram (sequence number, without --messages)\n"
    "      --swap P          send the next number in this one's place and this one in the\n"
    "                        next's with probability P: the schedule does not move\n"
    "      --restart N:SEQ   from the Nth number of the stream (from 0) on, the numbers start\n"
    "                        again at SEQ, as a sender restarted\n"
    "      --new-session N:TEXT  with --format moldudp64, from the Nth number on a new\n"
    "                        session TEXT whose numbers start at 1\n"
    "      --lag GROUP:MS    send to GROUP (as given) MS ms behind the others' schedule\n"
    "      --format mpegts|rtp-mpegts  a transport stream, seven 188-byte packets a\n"
    "                        datagram (after an RTP header numbering the datagrams): a\n"
    "                        PAT, a PMT, PIDs 256 and 257 and null packets, or --ts-file's\n"
    "      --ts-file FILE    send this file's packets (from its start again after its end;\n"
    "                        by default its datagrams once)\n"
    "      --ts-drop P       take each packet out of its datagram with probability P: a\n"
    "                        source's fault, no datagram missing (\"ts dropped pid 256 cc 5\")\n"
    "  -q, --quiet           write only the summary, not each fault\n"
    "      --spin            pace by busy-waiting instead of sleeping: evenly, as a\n"
    "                        hardware-paced source sends, never faster than -r even\n"
    "                        after falling behind, at the cost of a whole core (a\n"
    "                        benchmark aid)\n"
    "  -h, --help            show this help\n"
    "  -V, --version         show the version\n";

enum {
    OPT_START = 256,
    OPT_NO_LOOP,
    OPT_SEED,
    OPT_DROP,
    OPT_DUPLICATE,
    OPT_REORDER,
    OPT_DROP_EVERY,
    OPT_SPIN,
    OPT_FORMAT,
    OPT_SEQ,
    OPT_SEQ_COUNT,
    OPT_MESSAGES,
    OPT_HEARTBEAT,
    OPT_SESSION,
    OPT_STAMP,
    OPT_SWAP,
    OPT_RESTART,
    OPT_NEW_SESSION,
    OPT_LAG,
    OPT_TS_FILE,
    OPT_TS_DROP
};

const char feed_short_options[] = ":n:d:r:l:fi:b:t:qhV";

const option feed_long_options[] = {
    {"count", required_argument, nullptr, 'n'},
    {"duration", required_argument, nullptr, 'd'},
    {"rate", required_argument, nullptr, 'r'},
    {"length", required_argument, nullptr, 'l'},
    {"start", required_argument, nullptr, OPT_START},
    {"interface", required_argument, nullptr, 'i'},
    {"bind", required_argument, nullptr, 'b'},
    {"ttl", required_argument, nullptr, 't'},
    {"no-loop", no_argument, nullptr, OPT_NO_LOOP},
    {"seed", required_argument, nullptr, OPT_SEED},
    {"drop", required_argument, nullptr, OPT_DROP},
    {"duplicate", required_argument, nullptr, OPT_DUPLICATE},
    {"reorder", required_argument, nullptr, OPT_REORDER},
    {"drop-every", required_argument, nullptr, OPT_DROP_EVERY},
    {"quiet", no_argument, nullptr, 'q'},
    {"spin", no_argument, nullptr, OPT_SPIN},
    {"format", required_argument, nullptr, OPT_FORMAT},
    {"seq", required_argument, nullptr, OPT_SEQ},
    {"seq-count", required_argument, nullptr, OPT_SEQ_COUNT},
    {"messages", required_argument, nullptr, OPT_MESSAGES},
    {"heartbeat", required_argument, nullptr, OPT_HEARTBEAT},
    {"session", required_argument, nullptr, OPT_SESSION},
    {"stamp", optional_argument, nullptr, OPT_STAMP},
    {"swap", required_argument, nullptr, OPT_SWAP},
    {"restart", required_argument, nullptr, OPT_RESTART},
    {"new-session", required_argument, nullptr, OPT_NEW_SESSION},
    {"lag", required_argument, nullptr, OPT_LAG},
    {"ts-file", required_argument, nullptr, OPT_TS_FILE},
    {"ts-drop", required_argument, nullptr, OPT_TS_DROP},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

static int fail(const char *name, const char *value)
{
    fprintf(stderr, "mcfeed: invalid value '%s' for %s\n%s", value, name, usage);
    return -1;
}

static const char *long_name(int code)
{
    for (const option *entry = feed_long_options; entry->name != nullptr; entry++)
        if (entry->val == code)
            return entry->name;
    return "?";
}

// Says which option was wrong, and how, whatever form it was written in.
static int report_option_error(int code, const char *word)
{
    if (code == '?' && optopt != 0)
        fprintf(stderr, "mcfeed: unknown option '-%c'\n%s", optopt, usage);
    else if (code == '?')
        fprintf(stderr, "mcfeed: unknown option '%s'\n%s", word, usage);
    else
        fprintf(stderr, "mcfeed: option '%s' needs a value\n%s", word, usage);
    return -1;
}

static bool read_signed(const char *text, int64_t *value)
{
    char *end;
    errno = 0;
    long long parsed = strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0')
        return false;
    *value = parsed;
    return true;
}

static bool read_real(const char *text, double min, double max, double *value)
{
    char *end;
    double parsed = strtod(text, &end);
    if (end == text || *end != '\0' || !(parsed >= min && parsed <= max))
        return false;
    *value = parsed;
    return true;
}

// -i: an IPv4 address, an interface's index, or its name (looked up now, so that a wrong
// name is a wrong value).
static bool read_interface_option(const char *text, feed_options *options)
{
    uint32_t index = 0;
    interface_form form = read_interface(text, &index);
    if (form == INTERFACE_ADDRESS) {
        options->interface_addr.s_addr = inet_addr(text);
        return options->interface_addr.s_addr != INADDR_NONE;
    }
    options->interface_index = form == INTERFACE_NAME ? find_interface(text) : index;
    return options->interface_index != 0;
}

// -b: a numeric address of either family.
static bool read_bind(const char *text, feed_options *options)
{
    unsigned char address[16];
    if (inet_pton(AF_INET, text, address) != 1 && inet_pton(AF_INET6, text, address) != 1)
        return false;
    options->bind_host = text;
    return true;
}

// "N:REST": the index N, and where REST begins; false without both.
static bool read_index(const char *value, uint64_t *index, const char **rest)
{
    const char *colon = strchr(value, ':');
    char digits[24];
    if (colon == nullptr || colon == value || size_t(colon - value) >= sizeof digits)
        return false;
    memcpy(digits, value, size_t(colon - value));
    digits[colon - value] = '\0';
    *rest = colon + 1;
    return read_whole_number(digits, UINT64_MAX, index);
}

// --restart N:SEQ, --new-session N:TEXT (its numbers start at 1). Read before the layout is
// known: SEQ is checked against the field with --start's rules once it is.
static bool read_restart(int code, const char *value, feed_options *options)
{
    const char *rest;
    if (options->restart_given || !read_index(value, &options->restart_index, &rest))
        return false;
    options->restart_given = true;
    if (code == OPT_RESTART)
        return read_signed(rest, &options->restart_seq);
    options->new_session = true;
    options->restart_seq = 1;
    if (strlen(rest) == 0 || strlen(rest) > SESSION_BYTES)
        return false;
    memset(options->session_after, ' ', SESSION_BYTES);
    memcpy(options->session_after, rest, strlen(rest));
    return true;
}

// Reads one option's value into options; false when the value is not acceptable.
static bool read_option(int code, const char *value, feed_options *options)
{
    uint64_t number = 0;
    double seconds = 0;
    switch (code) {
    case 'n':
        return read_whole_number(value, UINT64_MAX, &options->count) && options->count > 0;
    case 'd':
        if (!read_real(value, 0.001, 1e9, &seconds))
            return false;
        options->duration_us = static_cast<uint64_t>(seconds * 1e6);
        return true;
    case 'r':
        return read_whole_number(value, 100000000, &options->rate_pps);
    case 'l':
        if (!read_whole_number(value, 65507, &number))
            return false;
        options->length_bytes = static_cast<uint32_t>(number);
        return true;
    case OPT_START:
        // Read once the layout is known: a given field's numbers are unsigned.
        options->start_text = value;
        return true;
    case OPT_FORMAT:
        options->format_name = value;
        return find_layout_preset(value, &options->layout) == 0;
    case OPT_SEQ:
        options->seq_given = true;
        return parse_seq_field(value, false, &options->seq) == 0;
    case OPT_SEQ_COUNT:
        options->seq_count_given = true;
        return parse_seq_field(value, true, &options->seq_count) == 0;
    case OPT_MESSAGES:
        if (!read_whole_number(value, 65535, &number) || number == 0)
            return false;
        options->messages_max = static_cast<uint32_t>(number);
        return true;
    case OPT_HEARTBEAT:
        if (!read_whole_number(value, 3600000, &number) || number == 0)
            return false;
        options->heartbeat_ms = static_cast<uint32_t>(number);
        return true;
    case OPT_STAMP:
        options->stamp = true;
        if (value == nullptr)
            return true;
        if (!read_whole_number(value, LAYOUT_PAYLOAD_MAX - 8, &number))
            return false;
        options->stamp_offset = static_cast<uint32_t>(number);
        return true;
    case OPT_SESSION:
        if (strlen(value) == 0 || strlen(value) > SESSION_BYTES)
            return false;
        memset(options->session, ' ', SESSION_BYTES);
        memcpy(options->session, value, strlen(value));
        return true;
    case 'i':
        return read_interface_option(value, options);
    case 'b':
        return read_bind(value, options);
    case 't':
        if (!read_whole_number(value, 255, &number))
            return false;
        options->ttl = static_cast<int>(number);
        return true;
    case OPT_SEED:
        return read_whole_number(value, UINT64_MAX, &options->seed);
    case OPT_DROP:
        return read_real(value, 0, 1, &options->drop);
    case OPT_DUPLICATE:
        return read_real(value, 0, 1, &options->duplicate);
    case OPT_REORDER:
        return read_real(value, 0, 1, &options->reorder);
    case OPT_DROP_EVERY:
        return read_whole_number(value, UINT64_MAX, &options->drop_every) && options->drop_every > 0;
    case OPT_SWAP:
        return read_real(value, 0, 1, &options->swap);
    case OPT_RESTART:
    case OPT_NEW_SESSION:
        return read_restart(code, value, options);
    case OPT_LAG:
        if (options->lag_count == 8 || strrchr(value, ':') == nullptr)
            return false;
        options->lag_text[options->lag_count++] = value;
        return true;
    case OPT_TS_FILE:
        options->ts_file_name = value;
        return true;
    case OPT_TS_DROP:
        return read_real(value, 0, 1, &options->ts_drop);
    }
    return false;
}

static void set_defaults(feed_options *options)
{
    *options = feed_options{};
    options->rate_pps = 10;
    options->length_bytes = 64;
    options->interface_addr.s_addr = htonl(INADDR_ANY);
    options->ttl = 1;
    options->loop = true;
    options->seed = 1;
    options->messages_max = 1;
    options->stamp_offset = 12;
    memcpy(options->session, "MCFEED    ", SESSION_BYTES);
}

static int usage_error(const char *text)
{
    fprintf(stderr, "mcfeed: %s\n%s", text, usage);
    return -1;
}

// The layout from -f, --seq, --seq-count and --format, and the options that need a count
// field or a session. Returns 0, or -1 after the error and the usage.
static int choose_layout(feed_options *options)
{
    int given = options->short_seq + options->seq_given + (options->format_name != nullptr);
    if (given > 1)
        return usage_error("give one of -f, --seq and --format");
    if (options->seq_count_given && !options->seq_given)
        return usage_error("--seq-count needs --seq");
    if (options->seq_count_given && fields_overlap(&options->seq, &options->seq_count))
        return usage_error("--seq-count must not overlap --seq");
    if (options->format_name == nullptr)
        options->layout = classic_layout(options->short_seq);
    if (options->seq_given)
        options->layout = given_layout(&options->seq,
                                       options->seq_count_given ? &options->seq_count : nullptr);
    const seq_layout *layout = &options->layout;
    if ((options->messages_max > 1 || options->heartbeat_ms != 0) && !layout->have_count)
        return usage_error("--messages and --heartbeat need a count field");
    if (layout->have_count && options->messages_max > field_mask(&layout->count))
        return usage_error("--messages must fit in the count field");
    if (layout->session && options->messages_max > (LAYOUT_PAYLOAD_MAX - 20) / (2 + MOLD_MESSAGE_BYTES))
        return usage_error("--messages must fit in a datagram");
    if (options->session_given && !layout->session)
        return usage_error("--session needs --format moldudp64");
    return 0;
}

// What the stamp would overwrite: the layout's fields, and the protocol's header around them
// (RTP's 12 bytes, MoldUDP64's 20 and each message block's length, so that there the stamp
// fills a message, at 22 for the first). Returns its name, or null where the stamp is clear.
static const char *under_stamp(const feed_options *options)
{
    const seq_layout *layout = &options->layout;
    const seq_field stamp = {options->stamp_offset, 8, false};
    if (fields_overlap(&stamp, &layout->seq))
        return "the sequence number";
    if (layout->have_count && fields_overlap(&stamp, &layout->count))
        return "the count";
    if (layout->name != nullptr && strcmp(layout->name, "rtp") == 0 && stamp.offset < 12)
        return "the RTP header";
    if (layout->session && stamp.offset < 20)
        return "the MoldUDP64 header";
    if (layout->session && (stamp.offset - 20) % (2 + MOLD_MESSAGE_BYTES) != 2)
        return "a MoldUDP64 message block's length";
    return nullptr;
}

// --start: a signed number in the classic layout, an unsigned one that fits a given field.
static int read_start(feed_options *options)
{
    const char *text = options->start_text;
    if (text == nullptr)
        return 0;
    uint64_t value;
    if (options->layout.given) {
        if (!read_whole_number(text, field_mask(&options->layout.seq), &value))
            return fail("--start", text);
        options->start_seq = static_cast<int64_t>(value);
        return 0;
    }
    return read_signed(text, &options->start_seq) ? 0 : fail("--start", text);
}

// --lag GROUP:MS, each of a group given (as written), with a rate to be behind of.
static int read_lags(feed_options *options)
{
    for (int i = 0; i < options->lag_count; i++) {
        const char *text = options->lag_text[i];
        const char *colon = strrchr(text, ':');
        uint64_t ms;
        if (!read_whole_number(colon + 1, 3600000, &ms))
            return fail("--lag", text);
        int found = -1;
        for (int g = 0; g < options->group_count && found < 0; g++)
            if (strlen(options->groups[g]) == size_t(colon - text) &&
                strncmp(options->groups[g], text, size_t(colon - text)) == 0)
                found = g;
        if (found < 0)
            return usage_error("--lag names a group that is not given");
        if (options->rate_pps == 0)
            return usage_error("--lag needs a rate");
        options->lag_ms[found] = static_cast<uint32_t>(ms);
    }
    return 0;
}

// A transport stream's options need its format; its file is read here, and sent once unless
// a count or a duration says otherwise.
static int check_ts_options(feed_options *options)
{
    bool ts = options->layout.payload != PAYLOAD_OPAQUE;
    if (!ts && (options->ts_file_name != nullptr || options->ts_drop > 0))
        return usage_error("--ts-file and --ts-drop need --format mpegts or rtp-mpegts");
    if (ts && (options->layout.have_count || options->stamp))
        return usage_error("--format mpegts and rtp-mpegts carry packets, not counts or stamps");
    if (options->ts_file_name == nullptr || load_ts_file(options) < 0)
        return options->ts_file_name == nullptr ? 0 : -1;
    if (options->count == 0 && options->duration_us == 0)
        options->count = (options->ts_file_packets + TS_PACKETS_PER_DATAGRAM - 1) /
                         TS_PACKETS_PER_DATAGRAM;
    return 0;
}

// The checks that need every option: the positionals and the combinations.
static int check_options(int argc, char **argv, int first, feed_options *options)
{
    int given = argc - first;
    if (given < 2 || given % 2 != 0 || given / 2 > FEED_GROUPS_MAX) {
        fprintf(stderr, "mcfeed: expected <group> <port>, up to %d pairs\n%s", FEED_GROUPS_MAX,
                usage);
        return -1;
    }
    options->group_count = given / 2;
    for (int g = 0; g < options->group_count; g++) {
        if (!read_port(argv[first + 2 * g + 1], &options->ports[g]))
            return fail("<port>", argv[first + 2 * g + 1]);
        options->groups[g] = argv[first + 2 * g];
    }
    options->group = options->groups[0];
    options->port = options->ports[0];
    if (choose_layout(options) < 0 || read_start(options) < 0)
        return -1;
    if (options->short_seq && (options->start_seq < INT32_MIN || options->start_seq > INT32_MAX)) {
        fprintf(stderr, "mcfeed: --start must fit in the 32-bit field of -f\n%s", usage);
        return -1;
    }
    // MoldUDP64's length follows its messages.
    uint32_t field_end = layout_end(&options->layout);
    const char *overwritten = options->stamp ? under_stamp(options) : nullptr;
    if (overwritten != nullptr) {
        fprintf(stderr, "mcfeed: --stamp at %u would overwrite %s\n%s", options->stamp_offset,
                overwritten, usage);
        return -1;
    }
    if (options->stamp && !options->layout.session &&
        options->stamp_offset + 8 > options->length_bytes) {
        fprintf(stderr, "mcfeed: --length must hold the --stamp field\n%s", usage);
        return -1;
    }
    if (!options->layout.session && options->length_bytes < field_end) {
        fprintf(stderr, "mcfeed: --length must be at least %u, the end of the sequence field\n%s",
                field_end, usage);
        return -1;
    }
    if (options->new_session && !options->layout.session)
        return usage_error("--new-session needs --format moldudp64");
    if (read_lags(options) < 0 || check_ts_options(options) < 0)
        return -1;
    if (options->rate_pps == 0 && options->count == 0 && options->duration_us == 0) {
        fprintf(stderr, "mcfeed: --rate 0 sends as fast as it can: give --count or --duration\n%s",
                usage);
        return -1;
    }
    return 0;
}

int read_feed_options(int argc, char **argv, feed_options *options)
{
    set_defaults(options);
    optind = 0; // start afresh, also when called more than once
    opterr = 0;
    int code;
    while ((code = getopt_long(argc, argv, feed_short_options, feed_long_options, nullptr)) != -1) {
        if (code == 'h') {
            fputs(usage, stdout);
            return 1;
        }
        if (code == 'V') {
            puts("mcfeed " MCWATCH_VERSION);
            return 1;
        }
        if (code == 'f') {
            options->short_seq = true;
        } else if (code == OPT_NO_LOOP) {
            options->loop = false;
        } else if (code == 'q') {
            options->quiet = true;
        } else if (code == OPT_SPIN) {
            options->spin = true;
        } else if (code == OPT_SESSION && read_option(code, optarg, options)) {
            options->session_given = true;
        } else if (code == '?' || code == ':') {
            return report_option_error(code, argv[optind - 1]);
        } else if (!read_option(code, optarg, options)) {
            char name[32];
            snprintf(name, sizeof name, "--%s", long_name(code));
            return fail(name, optarg);
        }
    }
    return check_options(argc, argv, optind, options);
}
