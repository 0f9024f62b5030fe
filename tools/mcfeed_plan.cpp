#include "mcfeed.h"

#include <string.h>

// splitmix64: small, fast, and the same on every platform, so a seed replays the same run.
static uint64_t next_random(uint64_t *state)
{
    uint64_t z = (*state += 0x9e3779b97f4a7c15u);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    return z ^ (z >> 31);
}

// True with the given probability. Draws nothing when it is 0, so a fault that is off leaves
// the others' decisions as they would be without it.
static bool happens(uint64_t *state, double probability)
{
    if (probability <= 0)
        return false;
    return static_cast<double>(next_random(state) >> 11) * 0x1.0p-53 < probability;
}

void plan_start(feed_plan *plan, const feed_options *options)
{
    plan->random_state = options->seed;
    plan->next_index = 0;
    plan->next_datagram = 0;
    plan->have_held = false;
}

static bool in_later_session(const feed_options *options, uint64_t index)
{
    return options->restart_given && index >= options->restart_index;
}

bool plan_in_later_session(const feed_plan *plan, const feed_options *options)
{
    return options->new_session && in_later_session(options, plan->next_index);
}

void mark_session(unsigned char *datagram, const feed_options *options, bool later_session)
{
    if (later_session && options->new_session)
        memcpy(datagram, options->session_after, SESSION_BYTES);
}

static int64_t seq_at(const feed_options *options, uint64_t index)
{
    // The stream wraps as the field that carries it does: modulo 2^64, or 2^32 with -f, or
    // the given field's width, so that every number recorded is the number sent.
    uint64_t seq = static_cast<uint64_t>(options->start_seq) + index;
    if (in_later_session(options, index))
        seq = static_cast<uint64_t>(options->restart_seq) + (index - options->restart_index);
    if (options->short_seq)
        return static_cast<int32_t>(static_cast<uint32_t>(seq));
    // A plain transport stream has no field: its numbers only place its datagrams.
    if (options->layout.given && options->layout.payload != PAYLOAD_TS)
        return static_cast<int64_t>(seq & field_mask(&options->layout.seq));
    return static_cast<int64_t>(seq);
}

int64_t plan_next_seq(const feed_plan *plan, const feed_options *options)
{
    return seq_at(options, plan->next_index);
}

// How many numbers the datagram at index carries: 1, or with --messages 1 to that many, drawn
// from the seed (nothing drawn otherwise, so the faults stay as without it), never past the
// stream's count.
static uint32_t count_at(feed_plan *plan, const feed_options *options, uint64_t index)
{
    uint64_t count = 1;
    if (options->messages_max > 1)
        count = 1 + next_random(&plan->random_state) % options->messages_max;
    if (options->count != 0 && count > options->count - index)
        count = options->count - index;
    // A datagram never carries numbers of both sides of a restart.
    if (options->restart_given && index < options->restart_index &&
        count > options->restart_index - index)
        count = options->restart_index - index;
    return static_cast<uint32_t>(count);
}

static bool dropped_by_count(const feed_options *options, uint64_t index)
{
    return options->drop_every != 0 && (index + 1) % options->drop_every == 0;
}

// --drop-every counts datagrams: numbers, where each datagram carries one.
bool plan_next(feed_plan *plan, const feed_options *options, feed_step *step)
{
    if (plan->have_held) {
        plan->have_held = false;
        *step = {FAULT_NONE, plan->held_seq, plan->held_count, 1, {plan->held_seq, 0},
                 {plan->held_count, 0}, plan->held_later_session};
        return true;
    }
    uint64_t index = plan->next_index;
    if (options->count != 0 && index >= options->count)
        return false;
    int64_t seq = seq_at(options, index);
    uint32_t count = count_at(plan, options, index);
    bool later = options->new_session && in_later_session(options, index);
    *step = {FAULT_NONE, seq, count, 1, {seq, 0}, {count, 0}, later};
    uint64_t next = index + count;
    uint64_t datagram = plan->next_datagram++;
    plan->next_index = next;
    // Faults that move a number never take it across a restart.
    bool has_next = (options->count == 0 || next < options->count) &&
                    in_later_session(options, index) == in_later_session(options, next);
    if (dropped_by_count(options, datagram) || happens(&plan->random_state, options->drop)) {
        step->fault = FAULT_DROPPED;
        step->sends = 0;
    } else if (has_next && !dropped_by_count(options, datagram + 1) &&
               happens(&plan->random_state, options->reorder)) {
        // A number that --drop-every drops is never swapped, or it would be sent after all.
        uint32_t next_count = count_at(plan, options, next);
        step->fault = FAULT_SWAPPED;
        step->sends = 2;
        step->seqs[0] = seq_at(options, next);
        step->counts[0] = next_count;
        step->seqs[1] = seq;
        step->counts[1] = count;
        plan->next_index = next + next_count;
        plan->next_datagram++;
    } else if (has_next && !dropped_by_count(options, datagram + 1) &&
               happens(&plan->random_state, options->swap)) {
        // The next number goes in this slot, this one in the next's: the schedule stays.
        uint32_t next_count = count_at(plan, options, next);
        step->fault = FAULT_SWAPPED;
        step->seqs[0] = seq_at(options, next);
        step->counts[0] = next_count;
        plan->have_held = true;
        plan->held_seq = seq;
        plan->held_count = count;
        plan->held_later_session = later;
        plan->next_index = next + next_count;
        plan->next_datagram++;
    } else if (happens(&plan->random_state, options->duplicate)) {
        step->fault = FAULT_DUPLICATED;
        step->sends = 2;
        step->seqs[1] = seq;
        step->counts[1] = count;
    }
    return true;
}

// RTP's fixed header (RFC 3550, 5.1) around the number: version 2, dynamic payload type 96,
// a timestamp that moves with the number, and a fixed source.
uint64_t ts_datagram_index(const feed_options *options, int64_t seq)
{
    return static_cast<uint64_t>(seq) - static_cast<uint64_t>(options->start_seq);
}

static void put_rtp_header(unsigned char *out, uint64_t seq, unsigned char payload_type)
{
    static const seq_field timestamp = {4, 4, true}, ssrc = {8, 4, true};
    out[0] = 0x80;
    out[1] = payload_type;
    write_field(&timestamp, out, seq * 160);
    write_field(&ssrc, out, 0x6d637764);
}

// MoldUDP64's message blocks (each a 2-byte length and the message) after its 20-byte header,
// so that a decoder finds as many messages as the count says. Returns the datagram's length.
static uint32_t put_mold_messages(unsigned char *out, uint32_t count)
{
    static const seq_field length = {0, 2, true};
    uint32_t at = 20;
    for (uint32_t i = 0; i < count && at + 2 + MOLD_MESSAGE_BYTES <= LAYOUT_PAYLOAD_MAX; i++) {
        write_field(&length, out + at, MOLD_MESSAGE_BYTES);
        memset(out + at + 2, 'A' + static_cast<int>(i % 26), MOLD_MESSAGE_BYTES);
        at += 2 + MOLD_MESSAGE_BYTES;
    }
    return at;
}

uint32_t build_datagram(unsigned char *out, const feed_options *options, int64_t seq,
                        uint32_t count, ts_drops *dropped)
{
    for (uint32_t i = 0; i < options->length_bytes; i++)
        out[i] = static_cast<unsigned char>(i);
    const seq_layout *layout = &options->layout;
    uint32_t length = options->length_bytes;
    if (layout->session) {
        memcpy(out, options->session, SESSION_BYTES);
        length = put_mold_messages(out, count);
    }
    if (layout->payload != PAYLOAD_OPAQUE) {
        uint32_t header = layout->payload == PAYLOAD_RTP_TS ? 12 : 0;
        // RFC 3551's payload type of MPEG-2 transport streams.
        if (header != 0)
            put_rtp_header(out, static_cast<uint64_t>(seq), 33);
        write_field(&layout->seq, out, static_cast<uint64_t>(seq));
        ts_drops ignored;
        return header + put_ts_packets(out + header, options, ts_datagram_index(options, seq),
                                       dropped != nullptr ? dropped : &ignored);
    }
    if (layout->name != nullptr && strcmp(layout->name, "rtp") == 0)
        put_rtp_header(out, static_cast<uint64_t>(seq), 96);
    write_field(&layout->seq, out, static_cast<uint64_t>(seq));
    if (layout->have_count)
        write_field(&layout->count, out, count);
    return length;
}

void stamp_datagram(unsigned char *datagram, uint32_t length, const feed_options *options,
                    uint64_t now_utc_us)
{
    if (!options->stamp && !options->layout.have_sent_at)
        return;
    seq_field field = options->stamp ? seq_field{options->stamp_offset, 8, false}
                                     : options->layout.sent_at.field;
    if (field.offset + field.width_bytes <= length)
        write_field(&field, datagram, now_utc_us * 1000);
}
