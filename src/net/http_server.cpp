#include "net/http_server.h"

#include <string.h>

#include "base/clock.h"
#include "base/process.h"

// How long the thread waits at most before it looks whether the run is stopping.
#define POLL_LIMIT_MS 250

int http_server_open(http_server *server, const endpoint *address, const char *page_path)
{
    server->page_path = page_path;
    server->stopping = false;
    for (http_connection &connection : server->connections)
        connection.open = false;
    return tcp_listen(address, &server->listener);
}

void http_server_publish(http_server *server, const char *text, size_t length)
{
    auto page = std::make_shared<const std::string>(text, length);
    std::lock_guard<std::mutex> hold(server->page_lock);
    server->page.swap(page);
}

static void close_connection(http_connection *connection)
{
    socket_close(connection->socket);
    connection->page.reset();
    connection->open = false;
}

// Readies the answer to a judged request: the page for a 200, a line naming the refusal else.
static void prepare_answer(http_server *server, http_connection *connection, http_verdict verdict)
{
    int status = verdict.status;
    if (status == 200) {
        std::lock_guard<std::mutex> hold(server->page_lock);
        connection->page = server->page;
    }
    if (status == 200 && connection->page == nullptr)
        status = 503;
    if (status == 200) {
        connection->body = connection->page->data();
        connection->body_bytes = connection->page->size();
    } else {
        connection->body = http_reason(status);
        connection->body_bytes = strlen(connection->body);
    }
    connection->head_bytes = http_answer_head(connection->head, status, connection->body_bytes);
    if (verdict.head)
        connection->body_bytes = 0;
    connection->answering = true;
    connection->sent_bytes = 0;
}

// Sends what the socket takes. Returns 1 when the answer is out, 0 to wait, -1 when it failed.
static int send_answer(http_connection *connection)
{
    size_t total_bytes = connection->head_bytes + connection->body_bytes;
    while (connection->sent_bytes < total_bytes) {
        bool in_head = connection->sent_bytes < connection->head_bytes;
        const char *from = in_head ? connection->head + connection->sent_bytes
                                   : connection->body + (connection->sent_bytes - connection->head_bytes);
        size_t left = in_head ? connection->head_bytes - connection->sent_bytes
                              : total_bytes - connection->sent_bytes;
        long sent = tcp_write(connection->socket, from, left);
        if (sent == TCP_WOULD_BLOCK)
            return 0;
        if (sent <= 0)
            return -1;
        connection->sent_bytes += static_cast<size_t>(sent);
    }
    return 1;
}

// Reads what came and judges it. Returns -1 when the connection is to be closed.
static int read_request(http_server *server, http_connection *connection)
{
    size_t room = HTTP_HEAD_MAX_BYTES - connection->received_bytes;
    long count = tcp_read(connection->socket, connection->request + connection->received_bytes, room);
    if (count == TCP_WOULD_BLOCK)
        return 0;
    if (count <= 0)
        return -1;
    connection->received_bytes += static_cast<size_t>(count);
    http_verdict verdict = http_judge(connection->request, connection->received_bytes,
                                      server->page_path);
    if (verdict.status == 0)
        return 0;
    prepare_answer(server, connection, verdict);
    return send_answer(connection) == 0 ? 0 : -1;
}

// A connection past the one more that is served hears 503 at once, or nothing if its socket
// is not ready for it; either way it is closed.
static void refuse(socket_handle socket)
{
    char head[HTTP_ANSWER_HEAD_MAX];
    const char *body = http_reason(503);
    size_t head_bytes = http_answer_head(head, 503, strlen(body));
    std::string answer = std::string(head, head_bytes) + body;
    tcp_write(socket, answer.data(), answer.size());
    socket_close(socket);
}

static void accept_connections(http_server *server, uint64_t now_us)
{
    // A bounded round, so that a flood of connections cannot keep the thread from the rest.
    for (int round = 0; round < 64; round++) {
        socket_handle socket;
        if (tcp_accept(server->listener, &socket) != 1)
            return;
        http_connection *free_slot = nullptr;
        for (http_connection &connection : server->connections)
            if (!connection.open) {
                free_slot = &connection;
                break;
            }
        if (free_slot == nullptr) {
            refuse(socket);
            continue;
        }
        free_slot->open = true;
        free_slot->socket = socket;
        free_slot->deadline_us = now_us + HTTP_DEADLINE_US;
        free_slot->received_bytes = 0;
        free_slot->answering = false;
    }
}

// One connection's turn: its request read and judged, its answer sent, or its time up (a
// request still coming hears 408; an answer still going is cut).
static void serve_connection(http_server *server, http_connection *connection, bool ready,
                             uint64_t now_us)
{
    int result = 0;
    if (ready)
        result = connection->answering ? send_answer(connection) : read_request(server, connection);
    if (result == 0 && now_us >= connection->deadline_us) {
        if (!connection->answering) {
            prepare_answer(server, connection, {408, false});
            send_answer(connection);
        }
        result = -1;
    }
    if (result != 0)
        close_connection(connection);
}

static void serve(void *context)
{
    http_server *server = static_cast<http_server *>(context);
    while (!server->stopping) {
        tcp_poll_entry entries[HTTP_CONNECTIONS_MAX + 1];
        http_connection *polled[HTTP_CONNECTIONS_MAX];
        int count = 0;
        uint64_t now_us = clock_monotonic_us();
        int64_t limit_us = POLL_LIMIT_MS * 1000;
        for (http_connection &connection : server->connections) {
            if (!connection.open)
                continue;
            int64_t left_us = static_cast<int64_t>(connection.deadline_us - now_us);
            if (left_us < limit_us)
                limit_us = left_us < 0 ? 0 : left_us;
            polled[count] = &connection;
            entries[count++] = {connection.socket, connection.answering, false};
        }
        entries[count] = {server->listener, false, false};
        int ready = tcp_poll(entries, count + 1, static_cast<int>((limit_us + 999) / 1000));
        now_us = clock_monotonic_us();
        if (ready < 0) {
            // Nothing to be done about a failed poll but not to spin on it.
            std::this_thread::sleep_for(std::chrono::milliseconds(POLL_LIMIT_MS));
            continue;
        }
        for (int i = 0; i < count; i++)
            serve_connection(server, polled[i], entries[i].ready, now_us);
        if (entries[count].ready)
            accept_connections(server, now_us);
    }
}

void http_server_start(http_server *server)
{
    start_thread_without_signals(&server->thread, serve, server);
}

void http_server_close(http_server *server)
{
    server->stopping = true;
    if (server->thread.joinable())
        server->thread.join();
    for (http_connection &connection : server->connections)
        if (connection.open)
            close_connection(&connection);
    socket_close(server->listener);
}
