#include "app/receivers.h"

#include <stdio.h>

#include <algorithm>

#include "base/error_text.h"
#include "base/log.h"
#include "net/address.h"
#include "net/interface.h"

// Resolves the source of a source-specific join in the group's family, and refuses one of
// the other family or one that can never send. Returns 0, or -1 after an error line.
static int resolve_source(const stream_settings *options, membership_request *request)
{
    request->source_specific = options->source_host != nullptr;
    if (!request->source_specific)
        return 0;
    int family = request->group.storage.ss_family;
    int code = 0;
    endpoint other;
    if (find_host(options->source_host, family, &request->source, &code) < 0) {
        int other_code = 0;
        if (find_host(options->source_host, AF_UNSPEC, &other, &other_code) == 0) {
            log_line(stderr, "error", "Source \"%s\" is not of the group's family (%s)",
                     options->source_host, family == AF_INET6 ? "IPv6" : "IPv4");
            return -1;
        }
        return resolve_host(options->source_host, family, &request->source);
    }
    if (!is_unicast(&request->source)) {
        log_line(stderr, "error", "Invalid source address \"%s\": a source must be a unicast address",
                 options->source_host);
        return -1;
    }
    return 0;
}

// The interface of the join: an IPv4 address as given, an index as given or looked up by
// name, or the zone of an IPv6 group. Returns 0, or -1 after an error line.
static int choose_interface(const stream_settings *options, membership_request *request)
{
    request->interface_addr = options->interface_addr;
    request->interface_index = options->interface_index;
    if (options->interface_by_name) {
        request->interface_index = find_interface(options->interface_name);
        if (request->interface_index == 0) {
            log_line(stderr, "error", "Unknown interface \"%s\"", options->interface_name);
            return -1;
        }
    } else if (request->interface_index != 0 && !interface_index_exists(request->interface_index)) {
        log_line(stderr, "error", "Unknown interface index %u", request->interface_index);
        return -1;
    }
    if (request->group.storage.ss_family != AF_INET6)
        return 0;
    uint32_t zone = endpoint_zone(&request->group);
    if (zone != 0 && request->interface_index != 0 && zone != request->interface_index) {
        log_line(stderr, "error", "The group's zone in \"%s\" and -i \"%s\" name different "
                                  "interfaces", options->host, options->interface_name);
        return -1;
    }
    if (request->interface_index == 0)
        request->interface_index = zone;
    if (request->interface_index == 0 && request->interface_addr.s_addr != htonl(INADDR_ANY)) {
        log_line(stderr, "error", "An IPv6 group is joined on an interface given by name or "
                                  "index, not \"%s\"", options->interface_name);
        return -1;
    }
    if (request->interface_index == 0 && is_link_local_group(&request->group)) {
        log_line(stderr, "error", "The link-local group \"%s\" needs an interface: -i <name> "
                                  "or a zone, as in ff02::1%%eth0", options->host);
        return -1;
    }
    return 0;
}

// Joins; with -v a failed join gets a second line with its likely cause, where one is known.
// A socket that holds groups already (joined_before) may have reached the system's limit
// after all (a setting lowered since it was read): then a line says which, -v or not.
// Returns 0, or -1 after the error lines.
static int join_explained(const settings *options, const stream_settings *stream,
                          socket_handle s, membership_request *request, int joined_before)
{
    if (join_group(s, request) == 0)
        return 0;
    int code = socket_last_error();
    if (joined_before > 0 && is_group_limit_error(code)) {
        char group[HOST_TEXT_MAX];
        format_host(group, &request->group);
        const char *setting = group_limit_setting();
        log_line(stderr, "error", "joining %s failed: the socket's group limit%s%s (%d) is reached",
                 group, setting != nullptr ? " " : "", setting != nullptr ? setting : "",
                 joined_before);
        return -1;
    }
    bool interface_given = stream->interface_name != nullptr || request->interface_index != 0;
    const char *cause = membership_failure_cause(code, interface_given);
    if (options->verbose && cause != nullptr)
        log_line(stderr, "error", "Likely cause: %s", cause);
    return -1;
}

// With --rcvbuf: asks for the buffer and says what was granted. Returns 0, or -1 after an
// error line.
static int set_receive_buffer(run_state *state, receiver *opened)
{
    uint64_t requested_bytes = state->options->rcvbuf_bytes;
    if (requested_bytes == 0)
        return 0;
    buffer_event event = {requested_bytes, 0, nullptr, 0};
    if (socket_set_receive_buffer(opened->socket, requested_bytes, &event.granted_bytes) < 0) {
        report_socket_error("setsockopt failed");
        return -1;
    }
    event.cap_name = receive_buffer_cap(&event.cap_bytes);
    const stream_state *first = &state->watched.streams[state->receive.receiver_streams[opened->first]];
    event_head head = head_of(state, first, utc_now(state));
    state->outputs.out->receive_buffer(state->outputs.out, &head, &event);
    return 0;
}

// A nap may let the queue fill a quarter of the receive buffer, leaving room to spare for a
// rate that rises meanwhile. That quarter is taken from what the queue could hold through a
// stall of this process, so where the loop naps and the buffer is the system's default, it
// asks for a third more: the room left while it naps is then the whole default buffer, as for
// a loop that never naps. A system that grants less only makes the naps shorter; one whose
// cap is below its default (an ask would shrink the buffer) is not asked.
static void make_room_for_naps(const run_state *state, receiver *opened)
{
    uint64_t buffer_bytes = socket_receive_buffer_bytes(opened->socket);
    opened->room_bytes = buffer_bytes / 4;
    if (state->calls->nap_us <= 0 || state->options->rcvbuf_bytes != 0)
        return;
    uint64_t wanted_bytes = buffer_bytes + buffer_bytes / 3;
    uint64_t cap_bytes = 0;
    // Linux caps the ask, then doubles it.
    if (receive_buffer_cap(&cap_bytes) != nullptr)
        wanted_bytes = std::min(wanted_bytes, 2 * cap_bytes);
    if (wanted_bytes > buffer_bytes && socket_ask_receive_buffer(opened->socket, wanted_bytes) == 0)
        opened->room_bytes = socket_receive_buffer_bytes(opened->socket) / 4;
}

// Where the run accounts for its senders, it also counts what this host dropped: the system
// hands the socket's drop count over with each datagram. Returns 0, or -1 after an error line.
static int enable_drop_count(run_state *state, receiver *opened)
{
    if (!state->needs.counts_drops)
        return 0;
    int counted = socket_count_drops(opened->socket);
    if (counted < 0) {
        report_socket_error("setsockopt failed");
        return -1;
    }
    opened->drops_counted = counted == 1;
    opened->drop_count = 0;
    state->receive.host_drops_counted = opened->drops_counted;
    return 0;
}

// Where the run shows outages or times, each datagram's time of arrival is the kernel's where
// it stamps them, so that a busy or stalled loop does not stretch an outage; elsewhere the
// loop's clock at receipt. Returns 0, or -1 after an error line.
static int enable_arrival_stamps(run_state *state, receiver *opened)
{
    if (!state->needs.stamps_arrivals)
        return 0;
    if (socket_stamp_arrivals(opened->socket) < 0) {
        report_socket_error("setsockopt failed");
        return -1;
    }
    return 0;
}

// After the error line of a config's stream that the file's check could not foresee (a join
// refused, an interface gone), a line says which stream it was and where the file gives it.
// Returns -1.
static int name_failed_stream(const stream_settings *config)
{
    if (config->file != nullptr)
        log_line(stderr, "error", "%s:%d: stream \"%s\" was not joined", config->file,
                 config->line, config->name);
    return -1;
}

// Resolves what the stream joins: the group, the port and the interface (the source comes
// with the join, after the socket is bound). Returns 0, or -1 after an error line.
int resolve_stream(stream_state *stream)
{
    const stream_settings *config = stream->config;
    membership_request *request = &stream->request;
    if (resolve_group(config->host, &request->group) < 0)
        return name_failed_stream(config);
    endpoint_set_port(&request->group, config->port);
    return choose_interface(config, request) < 0 ? name_failed_stream(config) : 0;
}

// Joins a stream's group on its socket and says so. Returns 0, or -1 after an error line.
static int join_stream(run_state *state, const receiver *opened, int joined_before,
                       stream_state *stream)
{
    membership_request *request = &stream->request;
    if (resolve_source(stream->config, request) < 0 ||
        join_explained(state->options, stream->config, opened->socket, request, joined_before) < 0)
        return name_failed_stream(stream->config);
    stream->joined = true;
    join_event joined = {&request->group, request->source_specific ? &request->source : nullptr,
                         stream->config->interface_name};
    event_head head = head_of(state, stream, utc_now(state));
    state->outputs.out->joined(state->outputs.out, &head, &joined);
    return 0;
}

// Leaves what the receiver's streams joined and closes its socket.
static void close_receiver(run_state *state, receiver *r)
{
    for (int k = 0; k < r->count; k++) {
        stream_state *stream = &state->watched.streams[state->receive.receiver_streams[r->first + k]];
        if (!stream->joined)
            continue;
        leave_group(r->socket, &stream->request);
        stream->joined = false;
        event_head head = head_of(state, stream, utc_now(state));
        state->outputs.out->left(state->outputs.out, &head, &stream->request.group);
    }
    socket_close(r->socket);
    r->opened = false;
    r->drops_counted = false;
}

// Opens, binds and readies the receiver's socket and joins each of its streams; on failure
// leaves and closes what it opened. Returns 0, or -1 after an error line.
int open_receiver(run_state *state, receiver *opened)
{
    stream_state *first = &state->watched.streams[state->receive.receiver_streams[opened->first]];
    endpoint bind_address;
    endpoint_any(&bind_address, first->request.group.storage.ss_family, first->config->port);
    opened->socket = open_receiver_socket(&bind_address);
    if (opened->socket == INVALID_SOCKET_HANDLE)
        return -1;
    opened->last_taken = 0;
    event_head head = head_of(state, first, utc_now(state));
    state->outputs.out->bound(state->outputs.out, &head, &bind_address);
    // One socket wakes the wait set, which wakes when any of its sockets does.
    bool wakes = state->receive.open_count == 0;
    if (set_receive_buffer(state, opened) < 0 || enable_drop_count(state, opened) < 0 ||
        enable_arrival_stamps(state, opened) < 0 ||
        (wakes && net_wake_on_interrupt(opened->socket) < 0)) {
        socket_close(opened->socket);
        return -1;
    }
    for (int k = 0; k < opened->count; k++) {
        if (join_stream(state, opened, k, &state->watched.streams[state->receive.receiver_streams[opened->first + k]]) < 0) {
            close_receiver(state, opened);
            return -1;
        }
    }
    make_room_for_naps(state, opened);
    if (state->receive.open_count == 0 || opened->room_bytes < state->receive.room_bytes)
        state->receive.room_bytes = opened->room_bytes;
    opened->opened = true;
    state->receive.sockets[state->receive.open_count++] = opened->socket;
    return 0;
}

// Leaves and closes every open socket. The drops since the last datagram show only in the
// sockets' own counts, so they are read before the sockets close.
void stop_receivers(run_state *state)
{
    read_all_drops(state);
    if (state->receive.waits_open)
        wait_set_close(&state->receive.waits);
    state->receive.waits_open = false;
    for (int i = 0; i < state->receive.open_count; i++)
        close_receiver(state, &state->receive.receivers[i]);
    state->receive.open_count = 0;
}
