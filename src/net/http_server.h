// The metrics page served over HTTP by a thread of its own. The run publishes the page; the
// server answers from the last page published and never touches the run's state, so that no
// client, however slow or hostile, holds up the receive loop.
#pragma once

#include <stdint.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "net/http.h"
#include "net/tcp.h"

// Connections served at once. When one more comes, the connection that has held a slot
// longest without a complete request makes room (408): for a newcomer whose request is
// complete, any such connection; else only one that has had HTTP_GRACE_US for its request.
// Failing that, the newcomer is refused (503). Idle or trickling clients, however many come
// and go, thus cannot keep a scrape from being served, nor take a slot from one just taken.
#define HTTP_CONNECTIONS_MAX 8
#define HTTP_GRACE_US 100000
// Connections that may be opening at once (the listen backlog, capped by the system's
// net.core.somaxconn). Each wake takes every one waiting, up to this many, so idle clients
// however quick to come back never fill the queue ahead of a scrape, and a scrape's request
// is there when it is taken.
#define HTTP_BACKLOG 1024
// A connection gets this long for its request and the answer, however it trickles.
#define HTTP_DEADLINE_US 5000000
// Connections that have had their answer and their end, and are read out until the peer ends
// too, so that it sees the answer rather than a reset. Past this many, or after
// HTTP_LINGER_US, the oldest is closed however it stands.
#define HTTP_CLOSING_MAX 16
#define HTTP_LINGER_US 1000000

struct http_connection {
    bool open;
    socket_handle socket;
    uint64_t accepted_us;
    uint64_t deadline_us;
    size_t received_bytes;
    char request[HTTP_HEAD_MAX_BYTES];
    bool answering;                          // the request is judged; the answer is going out
    char head[HTTP_ANSWER_HEAD_MAX];
    size_t head_bytes;
    std::shared_ptr<const std::string> page; // holds the page an answer sends
    const char *body;
    size_t body_bytes;
    size_t sent_bytes;                       // of the head, then of the body
};

struct http_closing {
    bool open;
    socket_handle socket;
    uint64_t deadline_us;
};

struct http_server {
    socket_handle listener;
    const char *page_path;
    const char *report_path;                 // the report's page; null: none served
    std::thread thread;
    std::atomic<bool> stopping;
    std::mutex page_lock;                    // guards page only
    std::shared_ptr<const std::string> page;
    std::shared_ptr<const std::string> report;  // guarded by page_lock too
    std::atomic<bool> report_asked;          // set by the thread, taken by the run
    uint64_t stale_after_us;                 // a page older is not served; 0: any age is
    std::atomic<uint64_t> published_us;      // the monotonic time of the last page published
    http_connection connections[HTTP_CONNECTIONS_MAX];
    http_connection arriving;                // a connection read before it is given a slot
    http_closing closing[HTTP_CLOSING_MAX];
};

// Listens on address for GET and HEAD of page_path (connections are served once the server
// is started). Returns 0, or -1 with the library's last error set.
int http_server_open(http_server *server, const endpoint *address, const char *page_path);

// Serves the report's page at report_path too, from what http_server_publish_report gave.
void http_server_serve_report(http_server *server, const char *report_path);

// Serves on a thread of its own until http_server_close.
void http_server_start(http_server *server);

// A run that publishes every so often says how old a page may grow: past that, the run is
// held up (a reader of its output that reads nothing, say) and its figures have stopped, so
// a scrape gets 503 rather than counters that look healthy. Before http_server_start.
void http_server_expect_pages(http_server *server, uint64_t stale_after_us);

// Makes text the page that later answers send.
void http_server_publish(http_server *server, const char *text, size_t length);
void http_server_publish_report(http_server *server, const char *text, size_t length);

// Whether a client asked for the report's page since the last call: the run draws it only then.
bool http_server_report_asked(http_server *server);

// Stops the thread (within a quarter of a second) and closes every socket.
void http_server_close(http_server *server);
