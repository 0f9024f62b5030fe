#include "net/capture.h"

int capture_stamp_us(int64_t seconds, int64_t microseconds, uint64_t *utc_us)
{
    // A pcap file's stamp is two unsigned 32-bit fields, which libpcap hands over sign-extended:
    // a frame of 2038 to 2106 comes as "before 1970". Nothing else reaches that range, so it is
    // taken back as the file wrote it.
    if (seconds < 0 && seconds >= INT32_MIN)
        seconds += INT64_C(1) << 32;
    if (microseconds < 0 && microseconds >= INT32_MIN)
        microseconds += INT64_C(1) << 32;
    if (seconds < 0 || microseconds < 0 || seconds > CAPTURE_STAMP_MAX_US / 1000000)
        return -1;
    uint64_t stamp_us = uint64_t(seconds) * 1000000u + uint64_t(microseconds);
    if (stamp_us > CAPTURE_STAMP_MAX_US)
        return -1;
    *utc_us = stamp_us;
    return 0;
}
