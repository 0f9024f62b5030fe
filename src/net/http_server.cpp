#include "net/http_server.h"

#include <string.h>

#include "base/clock.h"
#include "base/process.h"

// How long the thread waits at most before it looks whether the run is stopping.
#define POLL_LIMIT_MS 250

int http_server_open(http_server *server, const endpoint *address, const char *page_path)
{
    server->page_path = page_path;
    server->report_path = nullptr;
    server->report_asked = false;
    server->stopping = false;
    server->stale_after_us = 0;
    server->published_us = 0;
    for (http_connection &connection : server->connections)
        connection.open = false;
    for (http_closing &closing : server->closing)
        closing.open = false;
    return tcp_listen(address, HTTP_BACKLOG, &server->listener);
}

void http_server_expect_pages(http_server *server, uint64_t stale_after_us)
{
    server->stale_after_us = stale_after_us;
}

void http_server_publish(http_server *server, const char *text, size_t length)
{
    auto page = std::make_shared<const std::string>(text, length);
    std::lock_guard<std::mutex> hold(server->page_lock);
    server->page.swap(page);
    server->published_us = clock_monotonic_us();
}

void http_server_serve_report(http_server *server, const char *report_path)
{
    server->report_path = report_path;
}

void http_server_publish_report(http_server *server, const char *text, size_t length)
{
    auto page = std::make_shared<const std::string>(text, length);
    std::lock_guard<std::mutex> hold(server->page_lock);
    server->report.swap(page);
}

bool http_server_report_asked(http_server *server)
{
    return server->report_asked.exchange(false);
}

// Reads of a closing connection in one turn, so that one that floods cannot hold the thread.
#define DRAIN_READS_MAX 4

// Frees a slot whose socket is closed or handed on.
static void release_connection(http_connection *connection)
{
    connection->page.reset();
    connection->open = false;
}

static void close_connection(http_connection *connection)
{
    socket_close(connection->socket);
    release_connection(connection);
}

// Reads and drops what the peer sent. Returns -1 once it has ended (or failed), 0 else.
static int drain(socket_handle socket)
{
    char scratch[4096];
    for (int i = 0; i < DRAIN_READS_MAX; i++) {
        long count = tcp_read(socket, scratch, sizeof scratch);
        if (count == TCP_WOULD_BLOCK)
            return 0;
        if (count <= 0)
            return -1;
    }
    return 0;
}

// Ends the sending half of a socket whose answer is out, and keeps it to be read out until
// the peer ends: closed with bytes unread, it would be reset, and the peer could lose the answer.
static void start_closing(http_server *server, socket_handle socket, uint64_t now_us)
{
    http_closing *slot = &server->closing[0];
    for (http_closing &closing : server->closing) {
        if (!closing.open) {
            slot = &closing;
            break;
        }
        if (closing.deadline_us < slot->deadline_us)
            slot = &closing;
    }
    if (slot->open)
        socket_close(slot->socket);
    tcp_shutdown_write(socket);
    *slot = {true, socket, now_us + HTTP_LINGER_US};
}

static void serve_closing(http_closing *closing, bool ready, uint64_t now_us)
{
    if ((ready && drain(closing->socket) != 0) || now_us >= closing->deadline_us) {
        socket_close(closing->socket);
        closing->open = false;
    }
}

// Answers a connection whose request is not (or not yet) judged with status, after reading out
// what it sent, and starts closing it.
static void refuse(http_server *server, socket_handle socket, int status, uint64_t now_us)
{
    char answer[HTTP_ANSWER_HEAD_MAX + 64];
    const char *body = http_reason(status);
    size_t body_bytes = strlen(body);
    size_t head_bytes = http_answer_head(answer, status, body_bytes, false);
    memcpy(answer + head_bytes, body, body_bytes);
    drain(socket);
    tcp_write(socket, answer, head_bytes + body_bytes);
    start_closing(server, socket, now_us);
}

// Readies the answer to a judged request: the page for a 200, a line naming the refusal else.
static void prepare_answer(http_server *server, http_connection *connection, http_verdict verdict,
                           uint64_t now_us)
{
    int status = verdict.status;
    if (status == 200) {
        std::lock_guard<std::mutex> hold(server->page_lock);
        connection->page = verdict.report ? server->report : server->page;
        uint64_t published_us = server->published_us;
        if (!verdict.report && server->stale_after_us != 0 && now_us > published_us &&
            now_us - published_us > server->stale_after_us)
            connection->page.reset();
    }
    // The report is drawn while someone looks: the next one is asked for now.
    if (verdict.report)
        server->report_asked = true;
    if (status == 200 && connection->page == nullptr)
        status = 503;
    if (status == 200) {
        connection->body = connection->page->data();
        connection->body_bytes = connection->page->size();
    } else {
        connection->body = http_reason(status);
        connection->body_bytes = strlen(connection->body);
    }
    connection->head_bytes =
        http_answer_head(connection->head, status, connection->body_bytes, verdict.report && status == 200);
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

// Reads what came and judges it. Returns 0 (with the verdict's status 0 while the head has
// not ended), or -1 when the peer has ended or failed.
static int read_head(http_server *server, http_connection *connection, http_verdict *verdict)
{
    size_t room = HTTP_HEAD_MAX_BYTES - connection->received_bytes;
    long count = tcp_read(connection->socket, connection->request + connection->received_bytes, room);
    *verdict = {0, false, false};
    if (count == TCP_WOULD_BLOCK)
        return 0;
    if (count <= 0)
        return -1;
    connection->received_bytes += static_cast<size_t>(count);
    *verdict = http_judge(connection->request, connection->received_bytes, server->page_path,
                          server->report_path);
    return 0;
}

// Reads and judges a request, and starts its answer once judged. Returns 1 when the answer is
// out, 0 to wait, -1 when the connection is to be closed.
static int read_request(http_server *server, http_connection *connection, uint64_t now_us)
{
    http_verdict verdict;
    if (read_head(server, connection, &verdict) != 0)
        return -1;
    if (verdict.status == 0)
        return 0;
    prepare_answer(server, connection, verdict, now_us);
    return send_answer(connection);
}

// A turn's end: an answer out is closed in order, a failed connection at once.
static void end_turn(http_server *server, http_connection *connection, int result, uint64_t now_us)
{
    if (result == 1) {
        start_closing(server, connection->socket, now_us);
        release_connection(connection);
    } else if (result == -1) {
        close_connection(connection);
    }
}

// One connection's turn: its request read and judged, its answer sent, or its time up (a
// request still coming hears 408; an answer still going is cut).
static void serve_connection(http_server *server, http_connection *connection, bool ready,
                             uint64_t now_us)
{
    int result = 0;
    if (ready)
        result = connection->answering ? send_answer(connection) : read_request(server, connection, now_us);
    if (result == 0 && now_us >= connection->deadline_us) {
        if (!connection->answering) {
            refuse(server, connection->socket, 408, now_us);
            release_connection(connection);
            return;
        }
        result = -1;
    }
    end_turn(server, connection, result, now_us);
}

// A free slot, or one made by refusing the connection that has held its slot longest without
// a complete request (past its grace, unless the newcomer's request is complete); nullptr when
// none may be refused.
static http_connection *make_room(http_server *server, bool complete, uint64_t now_us)
{
    http_connection *oldest = nullptr;
    for (http_connection &connection : server->connections) {
        if (!connection.open)
            return &connection;
        bool may_refuse = complete || now_us - connection.accepted_us >= HTTP_GRACE_US;
        if (!connection.answering && may_refuse &&
            (oldest == nullptr || connection.accepted_us < oldest->accepted_us))
            oldest = &connection;
    }
    if (oldest != nullptr) {
        refuse(server, oldest->socket, 408, now_us);
        release_connection(oldest);
    }
    return oldest;
}

// Takes a connection: what it sent with its start is read first, so that a scrape's request
// weighs against those of the connections it would displace.
static void take_connection(http_server *server, socket_handle socket, uint64_t now_us)
{
    http_connection *arriving = &server->arriving;
    arriving->socket = socket;
    arriving->accepted_us = now_us;
    arriving->deadline_us = now_us + HTTP_DEADLINE_US;
    arriving->received_bytes = 0;
    arriving->answering = false;
    http_verdict verdict;
    if (read_head(server, arriving, &verdict) != 0) {
        socket_close(socket);
        return;
    }
    http_connection *slot = make_room(server, verdict.status != 0, now_us);
    if (slot == nullptr) {
        refuse(server, socket, 503, now_us);
        return;
    }
    *slot = *arriving;
    slot->open = true;
    if (verdict.status != 0) {
        prepare_answer(server, slot, verdict, now_us);
        end_turn(server, slot, send_answer(slot), now_us);
    }
}

// Takes every connection waiting: what waits past a wake fills the queue, where a scrape's
// would then wait behind it. Bounded by what the queue holds, so that a flood of connections
// cannot keep the thread from the rest.
static void accept_connections(http_server *server, uint64_t now_us)
{
    for (int taken = 0; taken < HTTP_BACKLOG; taken++) {
        socket_handle socket;
        if (tcp_accept(server->listener, &socket) != 1)
            return;
        take_connection(server, socket, now_us);
    }
}

// Adds a socket to the poll, and brings the poll's limit down to its deadline.
static void add_to_poll(tcp_poll_entry *entries, int *count, socket_handle socket, bool want_write,
                        uint64_t deadline_us, uint64_t now_us, int64_t *limit_us)
{
    int64_t left_us = static_cast<int64_t>(deadline_us - now_us);
    if (left_us < *limit_us)
        *limit_us = left_us < 0 ? 0 : left_us;
    entries[(*count)++] = {socket, want_write, false};
}

static void serve(void *context)
{
    http_server *server = static_cast<http_server *>(context);
    while (!server->stopping) {
        tcp_poll_entry entries[HTTP_CONNECTIONS_MAX + HTTP_CLOSING_MAX + 1];
        static_assert(sizeof entries / sizeof entries[0] <= TCP_POLL_MAX,
                      "one poll holds every connection, every closing one and the listener");
        http_connection *polled[HTTP_CONNECTIONS_MAX];
        http_closing *polled_closing[HTTP_CLOSING_MAX];
        int count = 0;
        uint64_t now_us = clock_monotonic_us();
        int64_t limit_us = POLL_LIMIT_MS * 1000;
        for (http_connection &connection : server->connections)
            if (connection.open) {
                polled[count] = &connection;
                add_to_poll(entries, &count, connection.socket, connection.answering,
                            connection.deadline_us, now_us, &limit_us);
            }
        int connections = count;
        for (http_closing &closing : server->closing)
            if (closing.open) {
                polled_closing[count - connections] = &closing;
                add_to_poll(entries, &count, closing.socket, false, closing.deadline_us, now_us,
                            &limit_us);
            }
        entries[count] = {server->listener, false, false};
        int ready = tcp_poll(entries, count + 1, static_cast<int>((limit_us + 999) / 1000));
        now_us = clock_monotonic_us();
        if (ready < 0) {
            // Nothing to be done about a failed poll but not to spin on it.
            std::this_thread::sleep_for(std::chrono::milliseconds(POLL_LIMIT_MS));
            continue;
        }
        for (int i = 0; i < connections; i++)
            serve_connection(server, polled[i], entries[i].ready, now_us);
        for (int i = connections; i < count; i++)
            serve_closing(polled_closing[i - connections], entries[i].ready, now_us);
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
    for (http_closing &closing : server->closing)
        if (closing.open)
            socket_close(closing.socket);
    socket_close(server->listener);
}
