#include "app/app.h"

#include <ctype.h>
#include <string.h>

#include "base/log.h"

// Skips blanks and a sign, then reads decimal digits as strtoul would, but saturating at
// limit + 1 so that no text can overflow. Returns the number of digits read; *negative tells
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
        *value = *value * 10 + static_cast<uint64_t>(*text - '0');
        if (*value > limit)
            *value = limit + 1;
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

static int read_interface(const char *text, in_addr *interface_addr)
{
    uint32_t address = static_cast<uint32_t>(inet_addr(text));
    if (address == static_cast<uint32_t>(INADDR_NONE)) {
        log_line(stderr, "error", "invalid option");
        return -1;
    }
    interface_addr->s_addr = address;
    return 0;
}

static const char help_text[] =
    "usage: mcwatch [-g] [-f] [-s <period(ms)>] [-i <address>] <host> <port> [<source_host>]\n"
    "\n"
    "Joins a UDP multicast group and prints a line for each datagram, with the sequence number\n"
    "read from its payload, until interrupted (Ctrl+C or SIGTERM).\n"
    "\n"
    "  -g               check that sequence numbers advance by one; report missed and extra\n"
    "                   datagrams\n"
    "  -f               the sequence number is a signed 32-bit little-endian number at bytes\n"
    "                   0 to 3 (default: signed 64-bit little-endian at bytes 4 to 11)\n"
    "  -s <period(ms)>  every period print the datagrams and missed numbers since the last\n"
    "                   report; 1 to 4294967 ms, 0 means never\n"
    "  -i <address>     join on the local interface with this IPv4 address\n"
    "  -h, --help       show this help and exit\n"
    "  -V, --version    show the version and exit\n"
    "  <host>           the group: a dotted address or a name\n"
    "  <port>           the UDP port, 1 to 65535\n"
    "  <source_host>    receive only what this source sends (source-specific membership)\n"
    "\n"
    "Options come before the positional arguments.\n";

// The value after -s or -i is the next argument, whatever it begins with.
static const char *option_value(int argc, char **argv, int *index)
{
    if (++*index >= argc) {
        log_line(stderr, "error", "invalid option");
        return nullptr;
    }
    return argv[*index];
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
            if (value == nullptr || read_interface(value, &options->interface_addr) < 0)
                return -1;
        } else {
            log_line(stderr, "error", "unknown option");
            return -1;
        }
    }
    return index;
}

int read_command_line(int argc, char **argv, settings *options)
{
    *options = settings{};
    options->interface_addr.s_addr = htonl(INADDR_ANY);
    int first = read_options(argc, argv, options);
    if (first <= 0)
        return first < 0 ? -1 : 1;
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
