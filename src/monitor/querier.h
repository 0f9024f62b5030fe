// The queriers a run hears on its links: for each interface, querier and version, how many
// queries came, the interval last announced and when the last came. Pure: each query comes
// with its interface and its time.
#pragma once

#include <stdint.h>

#include "net/query.h"

// The queriers a run keeps apart; the queries of any more are counted together as "others"
// (a link has one querier at a time, elected among them).
#define QUERIERS_MAX 16

struct querier_entry {
    uint32_t interface_index;
    query_version version;
    unsigned char address[16];
    uint32_t interval_s;       // as last announced
    uint64_t queries;
    uint64_t last_utc_us;      // when the last came, on the calendar clock
};

struct querier_table {
    querier_entry entries[QUERIERS_MAX];
    int count;
    uint64_t other_queries;    // from queriers past QUERIERS_MAX
};

// Counts a query that came on an interface at at_utc_us. Returns 1 when it is to be said: the
// first of its querier in this version on this interface, or one whose interval changed; else 0.
int querier_note(querier_table *table, uint32_t interface_index, const query_reading *query,
                 uint64_t at_utc_us);
