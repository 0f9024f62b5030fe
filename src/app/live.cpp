#include "app/live.h"

#include "base/clock.h"
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

static int live_receive(void *, socket_handle s, received_datagram *datagrams, int count,
                        bool wait)
{
    int received = socket_receive_many(s, datagrams, count, wait);
    if (received > 0) {
        uint64_t monotonic_us = clock_monotonic_us();
        stamp_batch(datagrams, received, monotonic_us, clock_utc_us());
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
                      .context = nullptr};
}
