#include "base/mpegts.h"

// The CRC of each byte value, made by the compiler: a byte at a time, not a bit.
struct crc_table {
    uint32_t of[256];
};

static constexpr crc_table make_crc_table()
{
    crc_table table = {};
    for (uint32_t byte = 0; byte < 256; byte++) {
        uint32_t crc = byte << 24;
        for (int bit = 0; bit < 8; bit++)
            crc = (crc & 0x80000000u) != 0 ? (crc << 1) ^ 0x04c11db7u : crc << 1;
        table.of[byte] = crc;
    }
    return table;
}

static constexpr crc_table crc_of_byte = make_crc_table();

uint32_t ts_crc32(const unsigned char *bytes, size_t length)
{
    uint32_t crc = 0xffffffffu;
    for (size_t i = 0; i < length; i++)
        crc = (crc << 8) ^ crc_of_byte.of[(crc >> 24) ^ bytes[i]];
    return crc;
}
