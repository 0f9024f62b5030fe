// For the benchmark only, preloaded into tcpdump: started as root, tcpdump gives up root and
// sets its supplementary groups on the way, which a user namespace forbids. The group list
// means nothing inside the benchmark's namespace, so the call is reported as done.
#include <grp.h>

extern "C" int setgroups(size_t, const gid_t *)
{
    return 0;
}

// initgroups sets the list from inside the C library, past the override above.
extern "C" int initgroups(const char *, gid_t)
{
    return 0;
}
