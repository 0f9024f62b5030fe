#include "base/mpegts.h"

uint32_t ts_crc32(const unsigned char *bytes, size_t length)
{
    uint32_t crc = 0xffffffffu;
    for (size_t i = 0; i < length; i++) {
        crc ^= uint32_t(bytes[i]) << 24;
        for (int bit = 0; bit < 8; bit++)
            crc = (crc & 0x80000000u) != 0 ? (crc << 1) ^ 0x04c11db7u : crc << 1;
    }
    return crc;
}
