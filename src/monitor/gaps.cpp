#include "monitor/monitor.h"

// Sequence numbers wrap modulo 2^64, so sums are taken in unsigned arithmetic; comparisons
// are signed.
static int64_t add_wrapping(int64_t a, int64_t b)
{
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

// A run across the whole 64-bit range counts as 2^64 - 1.
static uint64_t numbers_between(int64_t first, int64_t last)
{
    uint64_t count = static_cast<uint64_t>(last) - static_cast<uint64_t>(first) + 1;
    return count == 0 ? UINT64_MAX : count;
}

gap_report find_gap(int64_t seq, int64_t last_seq)
{
    return find_gap_after(seq, last_seq != NO_SEQUENCE, last_seq);
}

gap_report find_gap_after(int64_t seq, bool have_last, int64_t last_seq)
{
    gap_report report = {GAP_NONE, 0, 0, 0, 0};
    if (!have_last)
        return report;
    int64_t expected = add_wrapping(last_seq, 1);
    int64_t after_one_missed = add_wrapping(last_seq, 2);
    if (seq == expected)
        return report;
    if (seq == after_one_missed) {
        report = {GAP_MISSED_ONE, expected, expected, 1, 1};
    } else if (seq < after_one_missed) {
        report = {GAP_EXTRA, seq, seq, 0, 0};
    } else {
        // Only the low 32 bits of a jump are counted, as the counter itself has only 32.
        uint32_t missed = static_cast<uint32_t>(seq) - static_cast<uint32_t>(last_seq) - 1u;
        int64_t last = add_wrapping(seq, -1);
        report = {GAP_MISSED_RUN, expected, last, missed, numbers_between(expected, last)};
    }
    return report;
}

int64_t next_expected(const seq_rules *rules, int64_t seq, uint32_t count)
{
    return static_cast<int64_t>((static_cast<uint64_t>(seq) + count) & rules->mask);
}

gap_report find_layout_gap(const seq_rules *rules, int64_t seq, uint32_t count, bool have_last,
                           int64_t expected)
{
    gap_report report = {GAP_NONE, 0, 0, 0, 0};
    uint64_t step = (static_cast<uint64_t>(seq) - static_cast<uint64_t>(expected)) & rules->mask;
    if (!have_last || step == 0)
        return report;
    if (step <= rules->mask >> 1) {
        int64_t last = static_cast<int64_t>((static_cast<uint64_t>(seq) - 1) & rules->mask);
        report = {step == 1 ? GAP_MISSED_ONE : GAP_MISSED_RUN, expected, last,
                  static_cast<uint32_t>(step), step};
    } else if (count > 0) {
        report = {GAP_EXTRA, seq, seq, 0, 0};
    }
    return report;
}
