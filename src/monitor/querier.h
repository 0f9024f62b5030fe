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

// How long an interface the run joined on may go without a query before the run says so: a
// snooping switch ages a group out after its membership interval, 260 s by default, which
// two missed queries of the default 125 s interval bring near.
#define QUERIER_TIMEOUT_DEFAULT_US (130 * 1000000ull)

// An interface the run joined on, watched for queries.
struct query_watch {
    uint32_t interface_index;    // 0: any (the system chose the join's interface)
    const char *interface_name;  // as the join gave it; null: the system's choice (not owned)
    uint64_t since_us;           // the join or the last query that answered it, monotonic
    bool warned;                 // its silence was said, and no query came since
};

// A query heard on interface_index at at_us answers the watch of that interface and the
// watch of any.
void query_watch_heard(query_watch *watch, uint32_t interface_index, uint64_t at_us);

// At now_us: 1 when the watch's silence reached timeout_us and is to be said (once, until a
// query answers it), else 0. *next_us is when it may next fall due; UINT64_MAX: only after a
// query.
int query_watch_due(query_watch *watch, uint64_t now_us, uint64_t timeout_us, uint64_t *next_us);

// Counts a query that came on an interface at at_utc_us. Returns 1 when it is to be said: the
// first of its querier in this version on this interface, or one whose interval changed; else 0.
int querier_note(querier_table *table, uint32_t interface_index, const query_reading *query,
                 uint64_t at_utc_us);

// For the live view's title: of the interfaces watched, the one whose last query (or, where
// none came, the join) is oldest at now_us, how long ago that was, and the querier heard last
// there (null: none since the join). Returns false without watches.
bool stalest_link(const query_watch *watches, int watch_count, const querier_table *table,
                  uint64_t now_us, uint64_t *silent_us, const querier_entry **querier);
