#include "app/receivers.h"

#include <string.h>

// Queries are heard on the links of the families the run joins, whatever their interfaces:
// a raw socket hears every one, and each says which it came on.
void open_query_sockets(run_state *state)
{
    state->queries.count = 0;
    if (!state->needs.hears_queries)
        return;
    static const int families[QUERY_SOCKETS_MAX] = {AF_INET, AF_INET6};
    for (int family : families) {
        bool joined = false;
        for (int i = 0; i < state->watched.stream_count && !joined; i++)
            joined = state->watched.streams[i].request.group.storage.ss_family == family;
        if (!joined)
            continue;
        socket_handle s = open_query_socket(family);
        if (s == INVALID_SOCKET_HANDLE)
            continue;
        state->receive.sockets[state->receive.open_count + state->queries.count] = s;
        state->queries.sockets[state->queries.count++] = s;
    }
}

static bool same_interface(const query_watch *watch, const stream_state *stream)
{
    const char *name = stream->config->interface_name;
    if (watch->interface_name == nullptr || name == nullptr)
        return watch->interface_name == name;
    return watch->interface_index == stream->request.interface_index &&
           strcmp(watch->interface_name, name) == 0;
}

// An interface given by address has no index here: any query answers its watch, as one does
// the system's choice.
void watch_joined_interfaces(run_state *state, uint64_t since_us)
{
    query_side *queries = &state->queries;
    queries->watch_count = 0;
    if (queries->count == 0)
        return;
    for (int i = 0; i < state->watched.stream_count; i++) {
        const stream_state *stream = &state->watched.streams[i];
        bool known = false;
        for (int w = 0; w < queries->watch_count && !known; w++)
            known = same_interface(&queries->watches[w], stream);
        if (!known)
            queries->watches[queries->watch_count++] = query_watch{
                stream->request.interface_index, stream->config->interface_name, since_us, false};
    }
}

void close_query_sockets(run_state *state)
{
    for (int i = 0; i < state->queries.count; i++)
        socket_close(state->queries.sockets[i]);
    state->queries.count = 0;
}
