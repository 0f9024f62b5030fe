#include "mcfeed.h"

#include <signal.h>
#include <stdio.h>
#include <string.h>

#include "base/error_text.h"
#include "base/process.h"
#include "net/address.h"
#include "base/clock.h"

// Set by the interrupt handler, read by the send loop between datagrams.
static volatile sig_atomic_t stop_requested = 0;

static void on_stop(int)
{
    stop_requested = 1;
}

static int socket_failure(const char *call)
{
    int code = socket_last_error();
    char text[1024];
    if (!socket_error_text(code, text, sizeof text))
        snprintf(text, sizeof text, "error %d", code);
    fprintf(stderr, "mcfeed: %s failed: %s\n", call, text);
    return -1;
}

static int set_option(socket_handle s, int level, int option, const void *value, int size,
                      const char *name)
{
    if (setsockopt(s, level, option, static_cast<const char *>(value), size) != 0)
        return socket_failure(name);
    return 0;
}

// Hops, loop and the outgoing interface, in the group's family.
static int set_sender_options(socket_handle s, int family, const feed_options *options)
{
    int loop = options->loop ? 1 : 0;
    if (family == AF_INET6) {
        int index = static_cast<int>(options->interface_index);
        return set_option(s, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &options->ttl,
                          sizeof options->ttl, "setsockopt IPV6_MULTICAST_HOPS") ||
               set_option(s, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, &loop, sizeof loop,
                          "setsockopt IPV6_MULTICAST_LOOP") ||
               set_option(s, IPPROTO_IPV6, IPV6_MULTICAST_IF, &index, sizeof index,
                          "setsockopt IPV6_MULTICAST_IF")
                   ? -1
                   : 0;
    }
    if (set_option(s, IPPROTO_IP, IP_MULTICAST_TTL, &options->ttl, sizeof options->ttl,
                   "setsockopt IP_MULTICAST_TTL") ||
        set_option(s, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop,
                   "setsockopt IP_MULTICAST_LOOP"))
        return -1;
    if (options->interface_index != 0 &&
        socket_set_multicast_interface(s, options->interface_index) != 0)
        return socket_failure("setsockopt IP_MULTICAST_IF");
    if (options->interface_index != 0)
        return 0;
    return set_option(s, IPPROTO_IP, IP_MULTICAST_IF, &options->interface_addr,
                      sizeof options->interface_addr, "setsockopt IP_MULTICAST_IF");
}

static socket_handle open_sender(const feed_options *options, const endpoint *group)
{
    int family = group->storage.ss_family;
    socket_handle s = socket(family, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET_HANDLE) {
        socket_failure("socket");
        return INVALID_SOCKET_HANDLE;
    }
    endpoint source;
    endpoint_any(&source, family, 0);
    int code = 0;
    if (options->bind_host != nullptr && find_host(options->bind_host, family, &source, &code) < 0) {
        fprintf(stderr, "mcfeed: the source %s is not of the group's family\n", options->bind_host);
    } else if (bind(s, reinterpret_cast<const sockaddr *>(&source.storage),
                    endpoint_length(&source)) != 0) {
        socket_failure("bind");
    } else if (set_sender_options(s, family, options) == 0) {
        return s;
    }
    socket_close(s);
    return INVALID_SOCKET_HANDLE;
}

struct feed_totals {
    uint64_t sent;           // datagrams of the stream, heartbeats apart
    uint64_t dropped;
    uint64_t duplicated;
    uint64_t swapped;
    uint64_t heartbeats;
    uint64_t ts_dropped;     // transport stream packets --ts-drop took out
};

// Each packet --ts-drop took out of a datagram sent.
static void record_ts_drops(const ts_drops *dropped, const feed_options *options,
                            feed_totals *totals, const char *on)
{
    totals->ts_dropped += static_cast<uint64_t>(dropped->count);
    for (int i = 0; i < dropped->count && !options->quiet; i++)
        fprintf(stderr, "ts dropped pid %d cc %u%s\n", dropped->pids[i], dropped->counters[i], on);
}

// "seq N", with " count C" where the layout has a count field: numbers as the layout's field
// holds them, signed in the classic one.
static void format_numbers(char *out, size_t size, const seq_layout *layout, int64_t seq,
                           uint32_t count)
{
    int length = layout->given
                     ? snprintf(out, size, "seq %llu", static_cast<unsigned long long>(seq))
                     : snprintf(out, size, "seq %lld", static_cast<long long>(seq));
    if (layout->have_count)
        snprintf(out + length, size - static_cast<size_t>(length), " count %u", count);
}

// on: " on <group>:<port>" where the sequence goes to several groups, else "".
static void record_fault(const feed_step *step, const feed_options *options,
                         feed_totals *totals, const char *on)
{
    char first[64], second[64];
    format_numbers(first, sizeof first, &options->layout, step->first_seq, step->first_count);
    format_numbers(second, sizeof second, &options->layout, step->seqs[0], step->counts[0]);
    if (step->fault == FAULT_DROPPED) {
        totals->dropped++;
        if (!options->quiet)
            fprintf(stderr, "dropped %s%s\n", first, on);
    } else if (step->fault == FAULT_DUPLICATED) {
        totals->duplicated++;
        if (!options->quiet)
            fprintf(stderr, "duplicated %s%s\n", first, on);
    } else if (step->fault == FAULT_SWAPPED) {
        totals->swapped++;
        // "swapped seq 5 and 6": the second is a number, as the classic record has it.
        if (!options->quiet)
            fprintf(stderr, "swapped %s and %s%s\n", first, second + 4, on);
    }
}

static int send_datagram(socket_handle s, const endpoint *group, const unsigned char *datagram,
                         uint32_t length)
{
    if (sendto(s, reinterpret_cast<const char *>(datagram), static_cast<int>(length), 0,
               reinterpret_cast<const sockaddr *>(&group->storage), endpoint_length(group)) < 0)
        return stop_requested ? 0 : socket_failure("sendto");
    return 1;
}

// A heartbeat: no number, the next one's place (count 0), recorded as such.
static int send_heartbeat(socket_handle s, const endpoint *group, const feed_options *options,
                          int64_t seq, bool later_session, feed_totals *totals,
                          const char *on)
{
    static unsigned char datagram[65536];
    uint32_t length = build_datagram(datagram, options, seq, 0);
    mark_session(datagram, options, later_session);
    stamp_datagram(datagram, length, options, clock_utc_us());
    int sent = send_datagram(s, group, datagram, length);
    if (sent > 0) {
        totals->heartbeats++;
        char numbers[64];
        format_numbers(numbers, sizeof numbers, &options->layout, seq, 0);
        if (!options->quiet)
            fprintf(stderr, "heartbeat %s%s\n", numbers, on);
    }
    return sent;
}

// One group that the sequence goes to (one of a feed's lines where there are several): its
// socket, and faults of its own.
struct feed_line {
    endpoint group;
    socket_handle s;
    bool owns_socket;        // the first line of its family opens the socket the others share
    feed_plan plan;
    feed_totals totals;
    uint64_t last_send_us;   // when it last sent, for the heartbeats of a lone line
    char on[300];            // " on <group>:<port>" where there are several lines, as its
                             // records end; else ""
};

// Where the send loop is in its schedule: the start (moved on by a lone spinning line that
// was held up), the step, and whose turn it is of how many lines.
struct line_clock {
    uint64_t start_us;
    uint64_t step;
    int line;
    int count;
    bool per_datagram;       // a lone line: each datagram has a slot of its own
    struct step_times *times;
};

// When each of the last steps was first sent by a line that does not lag (0: not yet), so that
// a lagging line's copy goes at least its lag after the others' even where the sender fell
// behind its schedule and catches up.
struct step_times {
    uint64_t *sent_us;
    uint64_t size;
};

// Whether g is the first line that does not lag: its send is the step's time for the others.
static bool first_unlagged(const feed_options *options, int g)
{
    for (int before = 0; before < g; before++)
        if (options->lag_ms[before] == 0)
            return false;
    return true;
}

// The time a line's step may go: its slot, and for a lagging line of several its lag after
// the others' copy of the same step.
static uint64_t lagged_due_us(const line_clock *clock, const feed_options *options, uint64_t due_us)
{
    int g = clock->line;
    if (clock->per_datagram || options->lag_ms[g] == 0)
        return due_us;
    uint64_t lag_steps = uint64_t(options->lag_ms[g]) * options->rate_pps / 1000;
    const step_times *times = clock->times;
    uint64_t others_us = times->sent_us[(clock->step - lag_steps) % times->size];
    uint64_t after_us = others_us + uint64_t(options->lag_ms[g]) * 1000;
    return others_us != 0 && after_us > due_us ? after_us : due_us;
}

// The slot of a line's next datagram: a lone line's datagrams sent so far, or else the step.
static uint64_t next_slot(const line_clock *clock, const feed_line *line)
{
    return clock->per_datagram ? line->totals.sent : clock->step;
}

// When the line's next datagram is due, the lines' slots spread evenly through each slot's
// time. A lone spinning line more than one interval late moves the schedule on to now.
static uint64_t due_us(line_clock *clock, const feed_options *options, const feed_line *line)
{
    uint64_t slots_per_s = options->rate_pps * uint64_t(clock->count);
    uint64_t slot = next_slot(clock, line) * uint64_t(clock->count) + uint64_t(clock->line);
    uint64_t due = clock->start_us + slot * 1000000u / slots_per_s;
    uint64_t now_us = clock_monotonic_us();
    uint64_t interval_us = 1000000u / options->rate_pps;
    if (!options->spin || !clock->per_datagram || now_us <= due + interval_us)
        return due;
    clock->start_us += now_us - due;
    return now_us;
}

// Waits until due_us; a lone line with --heartbeat sends a heartbeat with next_seq whenever
// it was idle that long meanwhile. Returns 0, or -1 after a failed send.
static int wait_due(feed_line *line, const feed_options *options, const line_clock *clock,
                    int64_t next_seq, bool later_session, uint64_t due_us)
{
    uint64_t heartbeat_us = clock->per_datagram ? uint64_t(options->heartbeat_ms) * 1000 : 0;
    while (!stop_requested && clock_monotonic_us() < due_us) {
        if (heartbeat_us != 0 && due_us - line->last_send_us > heartbeat_us) {
            uint64_t beat_us = line->last_send_us + heartbeat_us;
            while (!stop_requested && clock_monotonic_us() < beat_us)
                clock_sleep_until_us(beat_us);
            if (send_heartbeat(line->s, &line->group, options, next_seq, later_session,
                               &line->totals, line->on) < 0)
                return -1;
            line->last_send_us = beat_us;
            continue;
        }
        if (!options->spin)
            clock_sleep_until_us(due_us);
    }
    return 0;
}

// Whether a stream of the given duration is over before the next step. A paced stream counts
// by due times, so that d seconds at r a second are d * r slots exactly.
static bool past_duration(const feed_options *options, const line_clock *clock,
                          const feed_line *first)
{
    if (options->duration_us == 0)
        return false;
    uint64_t elapsed_us = options->rate_pps != 0
                              ? next_slot(clock, first) * 1000000u / options->rate_pps
                              : clock_monotonic_us() - clock->start_us;
    return elapsed_us >= options->duration_us;
}

// Sends one step of a line: its datagrams, each paced to its due time (a lone line's each to
// a time of its own, a feed's lines' all to the step's), and the fault that shaped it.
// Returns 0, or -1 after a failed send.
static int send_step(feed_line *line, const feed_step *step, const feed_options *options,
                     line_clock *clock)
{
    static unsigned char datagram[65536];
    for (int i = 0; i < step->sends; i++) {
        if (options->rate_pps != 0) {
            // Numbers dropped before this datagram count as sent: the network lost them.
            int64_t next_seq = i == 0 ? step->first_seq : plan_next_seq(&line->plan, options);
            bool later = i == 0 ? step->later_session : plan_in_later_session(&line->plan, options);
            uint64_t due = lagged_due_us(clock, options, due_us(clock, options, line));
            if (wait_due(line, options, clock, next_seq, later, due) < 0)
                return -1;
        }
        if (i == 0 && !clock->per_datagram && options->lag_ms[clock->line] == 0 &&
            first_unlagged(options, clock->line))
            clock->times->sent_us[clock->step % clock->times->size] = clock_monotonic_us();
        ts_drops dropped = {};
        uint32_t length =
            build_datagram(datagram, options, step->seqs[i], step->counts[i], &dropped);
        mark_session(datagram, options, step->later_session);
        stamp_datagram(datagram, length, options, clock_utc_us());
        int sent = send_datagram(line->s, &line->group, datagram, length);
        if (sent < 0)
            return -1;
        if (sent == 0)
            break;
        line->totals.sent++;
        record_ts_drops(&dropped, options, &line->totals, line->on);
        line->last_send_us = clock_monotonic_us();
    }
    record_fault(step, options, &line->totals, line->on);
    return 0;
}

// Sends the sequence to every line, step by step, each line's step shaped by its own faults,
// paced from a fixed start so that the rate does not drift. Sleeping wakes late and then sends
// a small burst to catch up. A lone line is paced per datagram (a duplicate takes a slot of its
// own) and with --heartbeat beats whenever it idles; spinning keeps its spacing even instead of
// catching up: a sender held up (its core taken, its process stopped) moves its schedule on,
// as a hardware-paced source would. A feed's lines are paced per step, the rate of steps a
// second, their datagrams spread evenly through each step's time so that the lines stay in
// step as the redundant lines of a feed do, with their heartbeats only at the end.
static int send_steps(feed_line *lines, int count, const feed_options *options, step_times *times)
{
    line_clock clock = {clock_monotonic_us(), 0, 0, count, count == 1, times};
    for (int g = 0; g < count; g++)
        lines[g].last_send_us = clock.start_us;
    for (; !stop_requested; clock.step++) {
        if (past_duration(options, &clock, &lines[0]))
            break;
        bool any = false;
        for (int g = 0; g < count && !stop_requested; g++) {
            feed_line *line = &lines[g];
            feed_step step;
            clock.line = g;
            // A lagging line sends each step as many steps after the others as its lag is.
            uint64_t lag_steps = uint64_t(options->lag_ms[g]) * options->rate_pps / 1000;
            if (count > 1 && clock.step < lag_steps) {
                any = true;
                continue;
            }
            if (!plan_next(&line->plan, options, &step))
                continue;
            any = true;
            if (send_step(line, &step, options, &clock) < 0)
                return -1;
        }
        if (!any)
            break;
    }
    // A last heartbeat shows a receiver the numbers lost at the end.
    for (int g = 0; g < count && options->heartbeat_ms != 0; g++)
        if (send_heartbeat(lines[g].s, &lines[g].group, options,
                           plan_next_seq(&lines[g].plan, options),
                           plan_in_later_session(&lines[g].plan, options), &lines[g].totals,
                           lines[g].on) < 0)
            return -1;
    return 0;
}

static int send_lines(feed_line *lines, int count, const feed_options *options)
{
    step_times times = {nullptr, 1};
    for (int g = 0; g < count; g++)
        if (uint64_t(options->lag_ms[g]) * options->rate_pps / 1000 + 1 > times.size)
            times.size = uint64_t(options->lag_ms[g]) * options->rate_pps / 1000 + 1;
    times.sent_us = static_cast<uint64_t *>(calloc(times.size, sizeof(uint64_t)));
    if (times.sent_us == nullptr) {
        fprintf(stderr, "mcfeed: out of memory for the lagging lines' times\n");
        return -1;
    }
    int status = send_steps(lines, count, options, &times);
    free(times.sent_us);
    return status;
}

// Resolves and opens each group's sender. Returns 0, or -1 after an error line, with what was
// opened closed.
static int open_lines(const feed_options *options, feed_line *lines)
{
    for (int g = 0; g < options->group_count; g++) {
        feed_line *line = &lines[g];
        int resolver_code = 0;
        if (find_group(options->groups[g], &line->group, &resolver_code) < 0) {
            if (resolver_code != 0)
                fprintf(stderr, "mcfeed: cannot resolve '%s': %s\n", options->groups[g],
                        gai_strerror(resolver_code));
            else
                fprintf(stderr, "mcfeed: '%s' has no address\n", options->groups[g]);
        } else {
            endpoint_set_port(&line->group, options->ports[g]);
            // A socket sends to any group of its family: lines share one.
            for (int before = 0; before < g && line->s == INVALID_SOCKET_HANDLE; before++)
                if (lines[before].group.storage.ss_family == line->group.storage.ss_family)
                    line->s = lines[before].s;
            line->owns_socket = line->s == INVALID_SOCKET_HANDLE;
            if (line->owns_socket)
                line->s = open_sender(options, &line->group);
        }
        if (resolver_code != 0 || line->s == INVALID_SOCKET_HANDLE ||
            line->group.storage.ss_family == AF_UNSPEC) {
            for (int opened = 0; opened < g; opened++)
                if (lines[opened].owns_socket)
                    socket_close(lines[opened].s);
            return -1;
        }
        // Each line's faults are its own. The plan's generator steps its state by the golden
        // ratio, so seeds a multiple of that apart would give one sequence shifted: the
        // first line keeps the seed, the others get it mixed with their place.
        feed_options own = *options;
        if (g > 0)
            own.seed = (options->seed ^ 0xd1b54a32d192ed03u) * (2 * uint64_t(g) + 1);
        plan_start(&line->plan, &own);
        line->totals = {};
        line->on[0] = '\0';
        if (options->group_count > 1)
            snprintf(line->on, sizeof line->on, " on %s:%u", options->groups[g],
                     options->ports[g]);
    }
    return 0;
}

static void print_totals(const feed_totals *totals, const feed_options *options, const char *on)
{
    printf("mcfeed: sent %llu datagram%s; dropped %llu, duplicated %llu, swapped %llu",
           static_cast<unsigned long long>(totals->sent), totals->sent == 1 ? "" : "s",
           static_cast<unsigned long long>(totals->dropped),
           static_cast<unsigned long long>(totals->duplicated),
           static_cast<unsigned long long>(totals->swapped));
    if (options->heartbeat_ms != 0)
        printf(", heartbeats %llu", static_cast<unsigned long long>(totals->heartbeats));
    if (options->layout.payload != PAYLOAD_OPAQUE)
        printf(", ts dropped %llu", static_cast<unsigned long long>(totals->ts_dropped));
    printf("%s\n", on);
}

static int send_to_groups(const feed_options *options)
{
    static feed_line lines[FEED_GROUPS_MAX];
    for (feed_line &line : lines) {
        line.s = INVALID_SOCKET_HANDLE;
        line.owns_socket = false;
        line.group = {};
    }
    if (open_lines(options, lines) < 0)
        return 1;
    int status = send_lines(lines, options->group_count, options);
    for (int g = 0; g < options->group_count; g++) {
        if (lines[g].owns_socket)
            socket_close(lines[g].s);
        print_totals(&lines[g].totals, options, lines[g].on);
    }
    return status < 0 ? 1 : 0;
}

// Sends what the options say; returns the exit status.
static int send_all(feed_options *options)
{
    if (open_missing_standard_streams() < 0 || net_startup() < 0 ||
        install_interrupt_handler(on_stop) < 0)
        return 1;
    return send_to_groups(options);
}

int main(int argc, char **argv)
{
    feed_options options = {};
    int status = read_feed_options(argc, argv, &options);
    if (status == 0)
        status = send_all(&options);
    else
        status = status > 0 ? 0 : 2;
    // The file's packets were read whole at the start; they go with the run.
    free(const_cast<unsigned char *>(options.ts_file));
    return status;
}
