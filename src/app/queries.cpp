#include "app/receivers.h"

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

void close_query_sockets(run_state *state)
{
    for (int i = 0; i < state->queries.count; i++)
        socket_close(state->queries.sockets[i]);
    state->queries.count = 0;
}
