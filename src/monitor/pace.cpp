#include "monitor/pace.h"

#include <algorithm>

int64_t nap_after_drain_us(const nap_rule *rule, int count, uint64_t bytes, int64_t interval_us)
{
    if (count < 2 || rule->most_us <= 0)
        return 0;
    // A clock too coarse to see the batch queue says nothing of the rate: assume the fastest.
    int64_t queued_us = std::max<int64_t>(interval_us, 1);
    int64_t for_count = queued_us * (rule->batch_max * 3 / 4) / count;
    uint64_t charged_bytes = bytes + static_cast<uint64_t>(count) * QUEUED_OVERHEAD_BYTES;
    // In floating point: room and time multiplied could pass 64 bits with a large buffer.
    double for_room = static_cast<double>(queued_us) * static_cast<double>(rule->room_bytes) /
                      static_cast<double>(charged_bytes);
    int64_t nap_us = std::min(rule->most_us, for_count);
    if (for_room < static_cast<double>(nap_us))
        nap_us = static_cast<int64_t>(for_room);
    return nap_us;
}
