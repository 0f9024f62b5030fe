#include "feed.h"

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
}

static int64_t seq_at(const feed_options *options, uint64_t index)
{
    // The stream wraps as the field that carries it does: modulo 2^64, or 2^32 with -f, so
    // that every number recorded is the number sent.
    uint64_t seq = static_cast<uint64_t>(options->start_seq) + index;
    if (options->short_seq)
        return static_cast<int32_t>(static_cast<uint32_t>(seq));
    return static_cast<int64_t>(seq);
}

static bool dropped_by_count(const feed_options *options, uint64_t index)
{
    return options->drop_every != 0 && (index + 1) % options->drop_every == 0;
}

bool plan_next(feed_plan *plan, const feed_options *options, feed_step *step)
{
    uint64_t index = plan->next_index;
    if (options->count != 0 && index >= options->count)
        return false;
    int64_t seq = seq_at(options, index);
    *step = {FAULT_NONE, seq, 1, {seq, 0}};
    plan->next_index = index + 1;
    bool has_next = options->count == 0 || index + 1 < options->count;
    if (dropped_by_count(options, index) || happens(&plan->random_state, options->drop)) {
        step->fault = FAULT_DROPPED;
        step->sends = 0;
    } else if (has_next && !dropped_by_count(options, index + 1) &&
               happens(&plan->random_state, options->reorder)) {
        // A number that --drop-every drops is never swapped, or it would be sent after all.
        step->fault = FAULT_SWAPPED;
        step->sends = 2;
        step->seqs[0] = seq_at(options, index + 1);
        step->seqs[1] = seq;
        plan->next_index = index + 2;
    } else if (happens(&plan->random_state, options->duplicate)) {
        step->fault = FAULT_DUPLICATED;
        step->sends = 2;
        step->seqs[1] = seq;
    }
    return true;
}

uint32_t build_datagram(unsigned char *out, const feed_options *options, int64_t seq)
{
    for (uint32_t i = 0; i < options->length_bytes; i++)
        out[i] = static_cast<unsigned char>(i);
    uint64_t value = static_cast<uint64_t>(seq);
    uint32_t offset = options->short_seq ? 0 : 4;
    uint32_t size = options->short_seq ? 4 : 8;
    for (uint32_t i = 0; i < size; i++)
        out[offset + i] = static_cast<unsigned char>(value >> (8 * i));
    return options->length_bytes;
}
