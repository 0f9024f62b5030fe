// Where a datagram keeps its sequence number: the classic field (signed, little-endian, at
// bytes 4 to 11, or 0 to 3 with -f), or a layout given by the user or named by a protocol
// preset: an unsigned field at an offset, 2, 4 or 8 bytes wide, in either byte order, and
// optionally a count of the numbers the datagram carries. Read by mcwatch, written by mcfeed.
#pragma once

#include <stddef.h>
#include <stdint.h>

// A field ends within the largest UDP payload over IPv4 (65,507 bytes).
#define LAYOUT_PAYLOAD_MAX 65507

// MoldUDP64 keeps a 10-byte session name ahead of its number; its count 65,535 ends the
// session and carries no number.
#define SESSION_BYTES 10
#define MOLDUDP64_END_OF_SESSION 0xffffu

struct seq_field {
    uint32_t offset;
    uint32_t width_bytes;
    bool big_endian;
};

// A sender's clock in the payload: a field of 4 or 8 bytes counting units since 1970.
struct time_field {
    seq_field field;
    uint64_t unit_ns;      // 1 (ns), 1000 (us), 1000000 (ms) or 1000000000 (s)
};

// What follows a datagram's number: bytes the tool does not read, or 188-byte MPEG transport
// stream packets, either the whole payload (then the datagram carries no number) or after an
// RTP header.
enum payload_kind { PAYLOAD_OPAQUE, PAYLOAD_TS, PAYLOAD_RTP_TS };

struct seq_layout {
    bool given;            // false: the classic field, signed, short datagrams read as zero
    bool short_seq;        // classic: -f
    seq_field seq;
    bool have_count;
    seq_field count;
    bool session;          // MoldUDP64: the session at bytes 0 to 9 is part of the sender
    bool have_sent_at;     // the protocol carries the sender's clock (MDP 3.0's SendingTime)
    time_field sent_at;
    const char *name;      // the preset's name, or null
    payload_kind payload;
};

// The classic layout (-f: short_seq).
seq_layout classic_layout(bool short_seq);

// Reads "<offset>:<bytes>[:le|be]": a sequence field of 2, 4 or 8 bytes, or with count_field
// a count of 1, 2 or 4 bytes, ending within LAYOUT_PAYLOAD_MAX. Returns 0, or -1 (nothing is
// written; the caller says why).
int parse_seq_field(const char *text, bool count_field, seq_field *field);

// The layout of --seq and --seq-count: the number's field, and the count's (null: none).
seq_layout given_layout(const seq_field *seq, const seq_field *count);

// A preset by name (rtp, rtp-mpegts, mpegts, moldudp64, mdp3). Returns 0, or -1 for an unknown name.
int find_layout_preset(const char *name, seq_layout *layout);

// The presets' names, for the error line of an unknown one.
extern const char layout_preset_names[];

// Whether two fields share a byte.
bool fields_overlap(const seq_field *a, const seq_field *b);

// Where the layout's fields end: a shorter datagram is too short for it.
uint32_t layout_end(const seq_layout *layout);

// Reads the unsigned field; the datagram is at least the field's end long.
uint64_t read_field(const seq_field *field, const unsigned char *datagram);

// Writes the value's low width_bytes bytes into the field.
void write_field(const seq_field *field, unsigned char *datagram, uint64_t value);

// Reads "<offset>:<bytes>[:le|be]:<unit>" (unit ns, us, ms or s; 4 bytes only of seconds,
// since no smaller unit since 1970 fits them). Returns 0, or -1.
int parse_time_field(const char *text, time_field *field);

// The sender's time in microseconds since 1970; the datagram holds the field.
uint64_t read_time_us(const time_field *field, const unsigned char *datagram);

// The field's largest value: its numbers wrap to 0 after it.
uint64_t field_mask(const seq_field *field);
