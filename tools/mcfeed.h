// mcfeed: sends a sequenced test stream to a multicast group, in mcwatch's payload layout or
// a protocol's (RTP, MoldUDP64, MDP 3.0, any field), and injects faults on purpose (drops,
// duplicates, swaps), recording each one it injects.
#pragma once

#include <getopt.h>
#include <stdint.h>

#include "base/layout.h"
#include "base/mpegts.h"
#include "net/socket.h"

// The most groups one mcfeed sends its sequence to.
#define FEED_GROUPS_MAX 1024

// A datagram of a transport stream carries seven packets (1,316 bytes), as IPTV sends them.
#define TS_PACKETS_PER_DATAGRAM 7

// The packets --ts-drop took out of a datagram: their PIDs and counters.
struct ts_drops {
    int count;
    int pids[TS_PACKETS_PER_DATAGRAM];
    unsigned counters[TS_PACKETS_PER_DATAGRAM];
};

struct feed_options {
    const char *group;       // the first group and port
    uint16_t port;
    int group_count;         // groups the same sequence goes to, each with faults of its own
    const char *groups[FEED_GROUPS_MAX];
    uint16_t ports[FEED_GROUPS_MAX];
    uint64_t count;          // sequence numbers in the stream; 0: no limit
    uint64_t duration_us;    // 0: no limit
    uint64_t rate_pps;       // datagrams a second; 0: as fast as possible
    uint32_t length_bytes;
    int64_t start_seq;
    bool short_seq;
    in_addr interface_addr;  // -i with an IPv4 address
    uint32_t interface_index; // -i with a name or a number; 0: none
    const char *bind_host;   // -b: a numeric IPv4 or IPv6 address; nullptr: the wildcard
    int ttl;
    bool loop;
    uint64_t seed;
    double drop;             // probabilities from 0 to 1
    double duplicate;
    double reorder;
    double swap;             // the next number sent in this one's slot, this one in the next's
    uint64_t drop_every;     // 0: off
    uint32_t lag_ms[FEED_GROUPS_MAX];  // --lag: each group's schedule this much behind
    bool restart_given;      // --restart or --new-session: from the number at restart_index
    uint64_t restart_index;  // on, the numbers start again at restart_seq
    int64_t restart_seq;
    bool new_session;        // --new-session: and MoldUDP64's session is session_after
    unsigned char session_after[SESSION_BYTES];
    bool quiet;
    bool spin;               // pace by busy-waiting, evenly to the microsecond (a whole core)
    seq_layout layout;       // where the number goes: classic (-f) unless --seq or --format
    uint32_t messages_max;   // with a count field: each datagram carries 1 to this many numbers
    uint32_t heartbeat_ms;   // with a count field: a heartbeat while idle this long, and at the
                             // end; 0: none
    unsigned char session[SESSION_BYTES];  // MoldUDP64's session, padded with spaces
    bool stamp;              // --stamp: the send time, ns since 1970, 8 bytes little-endian
    uint32_t stamp_offset;   // at this offset (default 12; MDP 3.0's SendingTime is at 4)
    // As given, read once every option is known.
    const char *start_text;
    const char *format_name;
    bool seq_given;
    seq_field seq;
    bool seq_count_given;
    seq_field seq_count;
    bool session_given;
    int lag_count;
    const char *lag_text[8];  // "<group>:<ms>", matched to the groups once they are read
    // --format mpegts and rtp-mpegts: the packets of --ts-file (null: a stream of mcfeed's
    // own), and --ts-drop's probability of taking a packet out of its datagram.
    const char *ts_file_name;
    const unsigned char *ts_file;
    uint64_t ts_file_packets;
    // How far each PID's counter runs over the file once (mod 16): each time round the file
    // its counters go on from where they stopped, as a source that loops its content keeps
    // them, so the loop itself breaks no PID's continuity.
    unsigned char ts_file_steps[TS_PIDS];
    double ts_drop;
};

// Writes the packets of the datagram'th datagram of the stream (from 0): --ts-file's, from its
// start again after its end, or a stream made here (a PAT, a PMT, two elementary PIDs and null
// packets, with their counters); says what --ts-drop took out. Returns the bytes written.
uint32_t put_ts_packets(unsigned char *out, const feed_options *options, uint64_t datagram,
                        ts_drops *dropped);

// The place of the datagram numbered seq in the transport stream: from --start on.
uint64_t ts_datagram_index(const feed_options *options, int64_t seq);

// Works out how far each PID's counter runs over --ts-file once.
void measure_ts_file(feed_options *options);

// Reads --ts-file whole. Returns 0, or -1 after an error line.
int load_ts_file(feed_options *options);

// Reads the command line. Returns 0 to send, 1 after printing help or version (exit 0), -1
// after printing the error and the usage (exit 2).
int read_feed_options(int argc, char **argv, feed_options *options);

// The options read_feed_options takes, as getopt_long reads them (the completion and the
// manual page are checked against them).
extern const char feed_short_options[];
extern const option feed_long_options[];

enum fault_kind { FAULT_NONE, FAULT_DROPPED, FAULT_DUPLICATED, FAULT_SWAPPED };

// What one step of the stream sends: up to two datagrams, and the fault that shaped them.
struct feed_step {
    fault_kind fault;
    int64_t first_seq;       // the sequence number (the lower of a swapped pair)
    uint32_t first_count;    // the numbers its datagram carries
    int sends;
    int64_t seqs[2];         // in the order sent
    uint32_t counts[2];
    bool later_session;      // sent in --new-session's session
};

struct feed_plan {
    uint64_t random_state;
    uint64_t next_index;     // index of the next sequence number in the stream
    uint64_t next_datagram;  // index of the next datagram, for --drop-every
    bool have_held;          // --swap: the number held back, sent in the next step's slot
    int64_t held_seq;
    uint32_t held_count;
    bool held_later_session;
};

void plan_start(feed_plan *plan, const feed_options *options);

// Decides the next step; false when the stream's count is used up.
bool plan_next(feed_plan *plan, const feed_options *options, feed_step *step);

// The number the stream goes on with: what a heartbeat carries.
int64_t plan_next_seq(const feed_plan *plan, const feed_options *options);

// Writes a datagram carrying count numbers from seq on (0: a heartbeat): the fixed pattern,
// the layout's fields, and a protocol's header where it has one. Returns its length.
uint32_t build_datagram(unsigned char *out, const feed_options *options, int64_t seq,
                        uint32_t count, ts_drops *dropped = nullptr);

// Puts --new-session's session in a datagram built for the later one.
void mark_session(unsigned char *datagram, const feed_options *options, bool later_session);

// Whether the stream's next number is in --new-session's session.
bool plan_in_later_session(const feed_plan *plan, const feed_options *options);

// Writes the send time, in nanoseconds, where --stamp puts it or else where the protocol keeps
// it (MDP 3.0's SendingTime), if the datagram of length bytes holds it.
void stamp_datagram(unsigned char *datagram, uint32_t length, const feed_options *options,
                    uint64_t now_utc_us);

// Each message of a MoldUDP64 datagram: a 2-byte length, then this many bytes.
#define MOLD_MESSAGE_BYTES 8
