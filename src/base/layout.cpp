#include "base/layout.h"

#include <string.h>

seq_layout classic_layout(bool short_seq)
{
    seq_layout layout = {};
    layout.short_seq = short_seq;
    layout.seq = short_seq ? seq_field{0, 4, false} : seq_field{4, 8, false};
    return layout;
}

// Decimal digits up to limit; returns the text after them, or null.
static const char *read_decimal(const char *text, uint32_t limit, uint32_t *value)
{
    uint64_t number = 0;
    const char *at = text;
    for (; *at >= '0' && *at <= '9'; at++) {
        number = number * 10 + static_cast<uint64_t>(*at - '0');
        if (number > limit)
            return nullptr;
    }
    if (at == text)
        return nullptr;
    *value = static_cast<uint32_t>(number);
    return at;
}

int parse_seq_field(const char *text, bool count_field, seq_field *field)
{
    seq_field read = {0, 0, false};
    const char *at = read_decimal(text, LAYOUT_PAYLOAD_MAX, &read.offset);
    if (at == nullptr || *at != ':')
        return -1;
    at = read_decimal(at + 1, 8, &read.width_bytes);
    if (at == nullptr)
        return -1;
    bool width_ok = count_field ? read.width_bytes == 1 || read.width_bytes == 2 ||
                                      read.width_bytes == 4
                                : read.width_bytes == 2 || read.width_bytes == 4 ||
                                      read.width_bytes == 8;
    if (!width_ok || read.offset + read.width_bytes > LAYOUT_PAYLOAD_MAX)
        return -1;
    if (strcmp(at, ":be") == 0)
        read.big_endian = true;
    else if (*at != '\0' && strcmp(at, ":le") != 0)
        return -1;
    *field = read;
    return 0;
}

seq_layout given_layout(const seq_field *seq, const seq_field *count)
{
    seq_layout layout = {};
    layout.given = true;
    layout.seq = *seq;
    layout.have_count = count != nullptr;
    if (count != nullptr)
        layout.count = *count;
    return layout;
}

const char layout_preset_names[] = "rtp, rtp-mpegts, mpegts, moldudp64, mdp3";

int find_layout_preset(const char *name, seq_layout *layout)
{
    seq_layout preset = {};
    preset.given = true;
    if (strcmp(name, "rtp") == 0 || strcmp(name, "rtp-mpegts") == 0) {
        // RFC 3550, section 5.1: the sequence number, bytes 2 and 3 of the fixed header.
        preset.seq = {2, 2, true};
        preset.name = name[3] == 0 ? "rtp" : "rtp-mpegts";
        preset.payload = name[3] == 0 ? PAYLOAD_OPAQUE : PAYLOAD_RTP_TS;
    } else if (strcmp(name, "mpegts") == 0) {
        // Packets from the first byte on, and no number: the field is empty.
        preset.seq = {0, 0, false};
        preset.name = "mpegts";
        preset.payload = PAYLOAD_TS;
    } else if (strcmp(name, "moldudp64") == 0) {
        // Nasdaq MoldUDP64 1.00: session (10 bytes), sequence number (8), message count (2).
        preset.seq = {10, 8, true};
        preset.have_count = true;
        preset.count = {18, 2, true};
        preset.session = true;
        preset.name = "moldudp64";
    } else if (strcmp(name, "mdp3") == 0) {
        // CME MDP 3.0 binary packet header: MsgSeqNum, 4 bytes little-endian, first, then
        // SendingTime, nanoseconds since 1970, 8 bytes little-endian.
        preset.seq = {0, 4, false};
        preset.have_sent_at = true;
        preset.sent_at = {{4, 8, false}, 1};
        preset.name = "mdp3";
    } else {
        return -1;
    }
    *layout = preset;
    return 0;
}

bool fields_overlap(const seq_field *a, const seq_field *b)
{
    return a->offset < b->offset + b->width_bytes && b->offset < a->offset + a->width_bytes;
}

uint32_t layout_end(const seq_layout *layout)
{
    uint32_t end = layout->seq.offset + layout->seq.width_bytes;
    if (layout->have_count && layout->count.offset + layout->count.width_bytes > end)
        end = layout->count.offset + layout->count.width_bytes;
    if (layout->session && end < SESSION_BYTES)
        end = SESSION_BYTES;
    return end;
}

uint64_t read_field(const seq_field *field, const unsigned char *datagram)
{
    const unsigned char *at = datagram + field->offset;
    uint64_t value = 0;
    if (field->big_endian) {
        for (uint32_t i = 0; i < field->width_bytes; i++)
            value = value << 8 | at[i];
    } else {
        for (uint32_t i = field->width_bytes; i-- > 0;)
            value = value << 8 | at[i];
    }
    return value;
}

void write_field(const seq_field *field, unsigned char *datagram, uint64_t value)
{
    unsigned char *at = datagram + field->offset;
    for (uint32_t i = 0; i < field->width_bytes; i++) {
        uint32_t shift = 8 * (field->big_endian ? field->width_bytes - 1 - i : i);
        at[i] = static_cast<unsigned char>(value >> shift);
    }
}

uint64_t field_mask(const seq_field *field)
{
    return field->width_bytes >= 8 ? UINT64_MAX : (uint64_t(1) << (8 * field->width_bytes)) - 1;
}

int parse_time_field(const char *text, time_field *field)
{
    const char *unit = strrchr(text, ':');
    if (unit == nullptr)
        return -1;
    static const struct {
        const char *name;
        uint64_t unit_ns;
    } units[] = {{"ns", 1}, {"us", 1000}, {"ms", 1000000}, {"s", 1000000000}};
    time_field read = {{0, 0, false}, 0};
    for (const auto &known : units)
        if (strcmp(unit + 1, known.name) == 0)
            read.unit_ns = known.unit_ns;
    char field_text[32];
    size_t length = static_cast<size_t>(unit - text);
    if (read.unit_ns == 0 || length >= sizeof field_text)
        return -1;
    memcpy(field_text, text, length);
    field_text[length] = '\0';
    if (parse_seq_field(field_text, false, &read.field) < 0 || read.field.width_bytes < 4 ||
        (read.field.width_bytes == 4 && read.unit_ns != 1000000000))
        return -1;
    *field = read;
    return 0;
}

uint64_t read_time_us(const time_field *field, const unsigned char *datagram)
{
    uint64_t value = read_field(&field->field, datagram);
    if (field->unit_ns >= 1000)
        return value * (field->unit_ns / 1000);
    return value / 1000;
}
