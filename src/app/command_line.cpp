#include "app/app.h"

#include <string.h>

#include "app/config.h"
#include "app/options.h"
#include "base/log.h"
#include "base/numbers.h"
#include "monitor/feed.h"
#include "monitor/querier.h"
#include "monitor/ts.h"

// The row that word names: a short option alone ("-c"), a long one alone ("--count") or, when
// it takes a value, with it ("--count=5", *inline_value then the text after '='). Short
// options are never bundled nor joined to their value.
static const command_option *find_option(const char *word, const char **inline_value)
{
    *inline_value = nullptr;
    for (int i = 0; i < command_option_count; i++) {
        const command_option &o = command_options[i];
        if (o.short_name != '\0' && word[1] == o.short_name && word[2] == '\0')
            return &o;
        if (o.long_name == nullptr || word[1] != '-')
            continue;
        size_t length = strlen(o.long_name);
        if (strncmp(word + 2, o.long_name, length) != 0)
            continue;
        const char *end = word + 2 + length;
        if (*end == '\0')
            return &o;
        if (*end == '=' && o.value_name != nullptr) {
            *inline_value = end + 1;
            return &o;
        }
    }
    return nullptr;
}

// Reads a number of the row's kind into where the row keeps it. Returns 0, or -1 after an
// error line.
static int read_number_option(const command_option *o, const char *value, settings *options)
{
    uint64_t number = 0;
    bool read = false;
    if (o->kind == OPTION_COUNT)
        read = read_whole_number(value, o->most, &number) && number >= o->least;
    else if (o->kind == OPTION_SECONDS)
        read = read_seconds(value, o->most, &number) && number >= o->least;
    else if (o->kind == OPTION_SIZE)
        read = read_size(value, o->most, &number);
    else if (o->kind == OPTION_PERIOD)
        read = read_leading_number(value, o->most, &number);
    if (!read) {
        log_line(stderr, "error", "invalid option");
        return -1;
    }
    number *= o->scale;
    if (o->number != nullptr)
        options->*o->number = number;
    else
        options->*o->number32 = static_cast<uint32_t>(number);
    return 0;
}

// Reads the value a row takes: after '=', or the next argument whatever it begins with.
static int read_value(const command_option *o, const char *inline_value, int argc, char **argv,
                      int *index, settings *options)
{
    const char *value = inline_value;
    if (value == nullptr && ++*index < argc)
        value = argv[*index];
    if (value == nullptr || (o->kind == OPTION_FILE && value[0] == '\0')) {
        log_line(stderr, "error", "invalid option");
        return -1;
    }
    if (o->kind == OPTION_TEXT || o->kind == OPTION_FILE)
        options->*o->text = value;
    else if (o->kind == OPTION_OWN)
        return o->read(value, options);
    else
        return read_number_option(o, value, options);
    return 0;
}

// Reads the options before the positionals; returns the index of the first positional, 0
// after printing the help or the version, or -1.
static int read_options(int argc, char **argv, settings *options)
{
    int index = 1;
    for (; index < argc && argv[index][0] == '-'; index++) {
        const char *inline_value;
        const command_option *o = find_option(argv[index], &inline_value);
        if (o == nullptr) {
            log_line(stderr, "error", "unknown option");
            return -1;
        }
        if (o->kind == OPTION_HELP) {
            print_help();
            return 0;
        }
        if (o->kind == OPTION_VERSION) {
            fputs("mcwatch " MCWATCH_VERSION "\n", stdout);
            return 0;
        }
        if (o->value_name != nullptr &&
            read_value(o, inline_value, argc, argv, &index, options) < 0)
            return -1;
        if (o->flag != nullptr)
            options->*o->flag = true;
        if (o->kind == OPTION_FLAG && o->read != nullptr && o->read(nullptr, options) < 0)
            return -1;
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
    uint64_t port = 0;
    if (!read_leading_number(argv[first + 1], 65535, &port) || port == 0) {
        log_line(stderr, "error", "invalid port");
        return -1;
    }
    options->port = static_cast<uint16_t>(port);
    if (argc - first >= 3)
        options->source_host = argv[first + 2];
    return 0;
}
