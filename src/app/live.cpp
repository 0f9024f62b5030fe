#include "app/live.h"

#include "base/clock.h"
#include "net/interface.h"
#include "net/socket.h"

void stamp_batch(received_datagram *datagrams, int count, uint64_t monotonic_us, uint64_t utc_us)
{
    for (int i = 0; i < count; i++) {
        received_datagram *datagram = &datagrams[i];
        datagram->stream = -1;
        datagram->at_us = monotonic_us;
        if (!datagram->have_arrival) {
            datagram->arrival_utc_us = utc_us;
            continue;
        }
        // A stamp the calendar clock has since stepped back over is taken as just now.
        if (utc_us > datagram->arrival_utc_us) {
            uint64_t queued_us = utc_us - datagram->arrival_utc_us;
            datagram->at_us = queued_us < monotonic_us ? monotonic_us - queued_us : 0;
        }
    }
}

// The kernel stamps arrivals on the calendar clock, and the loop runs on the monotonic one: a
// batch's stamps are moved across by the two clocks read as a pair. A pair cut in two by the
// scheduler (on a busy host, milliseconds) would move every stamp of the batch by as much, and
// one line's copies would seem to come before another's: of a few tries, the pair read closest
// together is taken.
#define CLOCK_PAIR_TRIES 4
#define CLOCK_PAIR_CLOSE_US 20

static void read_clock_pair(uint64_t *monotonic_us, uint64_t *utc_us)
{
    uint64_t closest_us = UINT64_MAX;
    for (int i = 0; i < CLOCK_PAIR_TRIES && closest_us > CLOCK_PAIR_CLOSE_US; i++) {
        uint64_t before_us = clock_monotonic_us();
        uint64_t utc_now_us = clock_utc_us();
        uint64_t apart_us = clock_monotonic_us() - before_us;
        if (apart_us < closest_us) {
            closest_us = apart_us;
            *monotonic_us = before_us + apart_us / 2;
            *utc_us = utc_now_us;
        }
    }
}

static int live_receive(void *, socket_handle s, received_datagram *datagrams, int count,
                        bool wait)
{
    int received = socket_receive_many(s, datagrams, count, wait);
    if (received > 0) {
        uint64_t monotonic_us = 0, utc_us = 0;
        read_clock_pair(&monotonic_us, &utc_us);
        stamp_batch(datagrams, received, monotonic_us, utc_us);
    }
    return received;
}

static int live_wait(void *, wait_set *set, int64_t limit_us, int *ready, int ready_max)
{
    return wait_set_wait(set, limit_us, ready, ready_max);
}

static void live_nap(void *, int64_t nap_us)
{
    socket_nap(nap_us);
}

static uint64_t live_monotonic_us(void *)
{
    return clock_monotonic_us();
}

static uint64_t live_utc_us(void *)
{
    return clock_utc_us();
}

static int live_read_drops(void *, socket_handle s, uint32_t *count)
{
    return socket_read_drops(s, count);
}

static int live_receive_query(void *, socket_handle s, unsigned char *buffer, size_t size,
                              query_reading *reading, uint32_t *interface_index)
{
    return receive_query(s, buffer, size, reading, interface_index);
}

static void live_interface_name(void *, uint32_t index, char *name)
{
    interface_name_of(index, name);
}

static int live_rejoin(void *, socket_handle s, const membership_request *left,
                       membership_request *joined)
{
    if (left != nullptr)
        leave_group(s, left);
    return join_group(s, joined);
}

static uint32_t live_find_interface(void *, const char *name)
{
    return find_interface(name);
}

loop_calls live_loop_calls(void)
{
    return loop_calls{.receive_many = live_receive,
                      .wait = live_wait,
                      .nap = live_nap,
                      .nap_us = busy_nap_us,
                      .monotonic_us = live_monotonic_us,
                      .utc_us = live_utc_us,
                      .read_drops = live_read_drops,
                      .receive_query = live_receive_query,
                      .interface_name = live_interface_name,
                      .rejoin = live_rejoin,
                      .find_interface = live_find_interface,
                      .context = nullptr};
}
