// Command and control: the settings read from the command line, and the run that joins the
// group, prints what arrives and stops in order on an interrupt.
#pragma once

#include <stdint.h>

#include "base/layout.h"
#include "net/socket.h"

// One stream to watch: the group on the command line, or a [[stream]] table of --config.
struct stream_settings {
    const char *name;        // " on <name>" ends its lines; null without --config
    const char *feed;        // the feed it is a redundant line of; null: none
    int line;                // of its table in the config file; 0 from the command line
    const char *host;        // the group
    uint16_t port;
    const char *source_host; // nullptr: any-source membership
    in_addr interface_addr;  // as settings has them
    uint32_t interface_index;
    bool interface_by_name;
    const char *interface_name;
    seq_layout layout;
    bool have_sent_at;
    time_field sent_at;
    const char *file;        // the config file it is read from; null from the command line
};

struct settings {
    bool check_gaps;        // -g
    bool short_seq;         // -f: 32-bit sequence number at the start of the payload
    uint32_t period_us;     // -s, in microseconds; 0: no statistics
    in_addr interface_addr; // -i with an IPv4 address; INADDR_ANY lets the system choose
    uint32_t interface_index; // -i with a number: the interface's index; 0: none
    bool interface_by_name; // -i with a name (interface_name), looked up at start
    const char *host;       // the group
    uint16_t port;
    const char *source_host; // nullptr: any-source membership
    bool verbose;           // -v: what each extra datagram was, and the summary at the end
    bool summary;           // --summary: the summary at the end
    bool per_sender;        // --per-sender: -g and the gaps count compare within a sender
    uint64_t count_max;     // -c: stop after this many datagrams; 0: no limit
    uint64_t duration_us;   // --duration: stop after this long; 0: no limit
    bool have_max_lost;     // --max-lost: judge the run by its lost numbers
    uint64_t max_lost;
    bool quiet;             // -q: no datagram lines
    uint64_t rcvbuf_bytes;  // --rcvbuf: the receive buffer to ask for; 0: the system's
    uint32_t stall_ms;      // --stall: say when no datagram came for this long; 0: never
    uint64_t querier_timeout_us; // --querier-timeout: say when no query came on an interface
    bool querier_timeout_given;  // for this long (130 s unless given)
    uint64_t pid_timeout_us; // --pid-timeout: how long a PID a PMT names may be absent
    uint64_t rejoin_us;     // --rejoin: leave and join a stream silent this long; 0: never
    bool json;              // --json: JSON Lines instead of the text lines
    bool top;               // --top: the live view (with -q and --summary)
    const char *prom_path;  // --prom: the metrics file; nullptr: none
    const char *listen_text; // --listen as given; nullptr: no page served
    const char *report_path; // --report: the HTML page written at the end; nullptr: none
    int argc;               // the command line, as the report's header says it
    char **argv;
    char listen_host[256];  // --listen: the address to serve on (127.0.0.1 when not given),
    uint16_t listen_port;   // looked up when the run starts
    bool metrics_per_stream; // --metrics-per stream: a stream's series summed over its senders
    bool metrics_per_given;  // which only --prom and --listen take
    const char *interface_name; // -i as given
    bool seq_given;         // --seq: the number's field
    seq_field seq;
    bool seq_count_given;   // --seq-count: the field that counts the numbers a datagram carries
    seq_field seq_count;
    const char *format_name; // --format: a protocol's preset; nullptr: none
    seq_layout layout;      // where the number is, from -f, --seq, --seq-count and --format
    bool have_sent_at;      // --sent-at, or --format mdp3: the sender's clock in the payload
    time_field sent_at;
    bool sent_at_given;     // by --sent-at itself, which a config's streams take with any layout
    const char *read_path;   // -r: a capture to read instead of joining ("-": standard input)
    const char *config_path; // --config: the streams are the file's
    uint64_t arbitration_us; // --arbitration: how long a feed waits for a line to fill a hole
    bool arbitration_given;  // which only a config's feeds take
    const stream_settings *streams; // with --config, the file's (made once, for the process's
    int stream_count;               // life); without, none: the command line's is the one
};

// Whether the run renders its metrics: for a file (--prom), a page (--listen), or both.
inline bool renders_metrics(const settings *options)
{
    return options->prom_path != nullptr || options->listen_text != nullptr;
}

// The stream the command line names (host, port, source, interface and layout).
stream_settings command_line_stream(const settings *options);

// -i's text: an IPv4 address (as inet_addr reads it), a number (the interface's index), or a
// name. Returns 0, or -1 when it is none of them (a bad address or index), without a line.
int parse_interface(const char *text, stream_settings *stream);

// Fills options from the argument vector. Returns 0 to run, 1 after printing the help or the
// version to standard output (the tool then exits 0), or -1 after writing why not (the usage
// line, "invalid option", "unknown option" or "invalid port").
int read_command_line(int argc, char **argv, settings *options);

// Runs until interrupted (or -c or --duration is reached): returns 0 after an orderly stop,
// 1 when --max-lost judged the run lost (more lost than allowed, or no datagram at all), -1
// after a failure.
int run(const settings *options);
