#include "monitor/monitor.h"

static uint64_t read_little_endian(const unsigned char *field, size_t available, size_t size)
{
    uint64_t value = 0;
    size_t count = available < size ? available : size;
    for (size_t i = 0; i < count; i++)
        value |= static_cast<uint64_t>(field[i]) << (8 * i);
    return value;
}

int64_t read_sequence(const unsigned char *datagram, size_t length, bool short_seq)
{
    if (short_seq) {
        uint32_t value = static_cast<uint32_t>(read_little_endian(datagram, length, 4));
        return static_cast<int32_t>(value);
    }
    if (length <= 4)
        return 0;
    return static_cast<int64_t>(read_little_endian(datagram + 4, length - 4, 8));
}

seq_reading read_layout(const seq_layout *layout, const unsigned char *datagram, size_t length)
{
    if (!layout->given)
        return {read_sequence(datagram, length, layout->short_seq), 1, false, false};
    if (length < layout_end(layout))
        return {0, 0, true, false};
    seq_reading reading = {static_cast<int64_t>(read_field(&layout->seq, datagram)), 1, false,
                           false};
    if (layout->have_count) {
        uint64_t count = read_field(&layout->count, datagram);
        reading.end_of_session = layout->session && count == MOLDUDP64_END_OF_SESSION;
        reading.count = reading.end_of_session ? 0 : static_cast<uint32_t>(count);
    }
    return reading;
}
