// The little of HTTP/1.1 that serving one page takes: a request's head judged from its bytes,
// and the answer's head. Pure, so that every hostile request is a table row.
#pragma once

#include <stddef.h>

// A request's head (request line and header lines) may take this much; more is refused.
#define HTTP_HEAD_MAX_BYTES 8192

struct http_verdict {
    int status;   // 0: the head has not ended yet; else the status to answer with
    bool head;    // a HEAD request: the answer has no body
    bool report;  // the request is for the report's page, not the metrics
};

// Judges a request from the bytes received so far: 200 for a GET or HEAD of page_path or of
// report_path (null: none; report set), a query ignored, 404 for another path, 405 for another method, 400 for a malformed head,
// 505 for a version other than HTTP/1.0 and 1.1, 414 for a request line and 431 for a head
// longer than HTTP_HEAD_MAX_BYTES; 0 while the head is shorter and has not ended.
http_verdict http_judge(const char *data, size_t length, const char *page_path,
                        const char *report_path);

// Writes the answer's head for status (and a body of body_bytes, HTML where html, else the
// metrics' text) to out, which holds HTTP_ANSWER_HEAD_MAX bytes; every answer closes the
// connection. Returns its length.
#define HTTP_ANSWER_HEAD_MAX 256
size_t http_answer_head(char *out, int status, size_t body_bytes, bool html);

// The short text a refusal carries as its body.
const char *http_reason(int status);
