#include "net/http.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

// RFC 9110's tchar: what a method and a header's name are made of.
static bool is_token_char(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c != '\0' && strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

// Where the line that starts at start ends (its '\n'), or nullptr when it has not.
static const char *line_end(const char *start, const char *end)
{
    return static_cast<const char *>(memchr(start, '\n', static_cast<size_t>(end - start)));
}

// The line without its ending ("\r\n", or a lone "\n" as RFC 9112 lets a server take).
static const char *content_end(const char *start, const char *newline)
{
    return newline > start && newline[-1] == '\r' ? newline - 1 : newline;
}

// A header line: a name of token characters, a colon, and a value without control characters
// but tab. An obsolete folded line (starting with a space) is malformed, as RFC 9112 allows.
static bool is_header_line(const char *start, const char *end)
{
    const char *c = start;
    while (c < end && is_token_char(static_cast<unsigned char>(*c)))
        c++;
    if (c == start || c == end || *c != ':')
        return false;
    for (c++; c < end; c++)
        if ((static_cast<unsigned char>(*c) < 0x20 && *c != '\t') || *c == 0x7f)
            return false;
    return true;
}

// The path of a request target: the origin form ("/metrics?x") as it is, the absolute form
// ("http://host:9101/metrics", which RFC 9112 has a server take) past its scheme and
// authority, where an empty path is "/". Sets *path and returns its length, the query cut.
static size_t target_path(const char *target, size_t target_bytes, const char **path)
{
    const char *end = target + target_bytes;
    const char *c = target;
    bool scheme = c < end && isalpha(static_cast<unsigned char>(*c));
    while (scheme && c < end && (isalnum(static_cast<unsigned char>(*c)) || strchr("+-.", *c) != nullptr))
        c++;
    if (scheme && end - c >= 3 && memcmp(c, "://", 3) == 0) {
        c += 3;
        while (c < end && *c != '/' && *c != '?')
            c++;
        if (c == end || *c == '?') {
            *path = "/";
            return 1;
        }
        target = c;
    }
    const char *query = static_cast<const char *>(memchr(target, '?', static_cast<size_t>(end - target)));
    *path = target;
    return static_cast<size_t>((query != nullptr ? query : end) - target);
}

// Whether a header line (valid) is Host's: its name is matched without regard to case.
static bool is_host_line(const char *start, const char *end)
{
    static const char name[] = "host:";
    if (end - start < 5)
        return false;
    for (int i = 0; i < 5; i++)
        if (tolower(static_cast<unsigned char>(start[i])) != name[i])
            return false;
    return true;
}

// *needs_host: HTTP/1.1, where a request without Host is refused.
// Whether the path (of path_bytes) is wanted, a null wanted being none.
static bool is_path(const char *path, size_t path_bytes, const char *wanted)
{
    return wanted != nullptr && path_bytes == strlen(wanted) && memcmp(path, wanted, path_bytes) == 0;
}

static http_verdict judge_request_line(const char *start, const char *end, const char *page_path,
                                       const char *report_path, bool *needs_host)
{
    const char *c = start;
    while (c < end && is_token_char(static_cast<unsigned char>(*c)))
        c++;
    if (c == start || c == end || *c != ' ')
        return {400, false, false};
    const char *method = start;
    size_t method_bytes = static_cast<size_t>(c - start);
    const char *target = ++c;
    while (c < end && static_cast<unsigned char>(*c) > 0x20 && *c != 0x7f)
        c++;
    if (c == target || c == end || *c != ' ')
        return {400, false, false};
    size_t target_bytes = static_cast<size_t>(c - target);
    const char *version = ++c;
    size_t version_bytes = static_cast<size_t>(end - version);
    if (version_bytes != 8 || memcmp(version, "HTTP/", 5) != 0 || version[6] != '.' ||
        version[5] < '0' || version[5] > '9' || version[7] < '0' || version[7] > '9')
        return {400, false, false};
    if (version[5] != '1' || (version[7] != '0' && version[7] != '1'))
        return {505, false, false};
    *needs_host = version[7] == '1';
    const char *path = nullptr;
    size_t path_bytes = target_path(target, target_bytes, &path);
    bool report = is_path(path, path_bytes, report_path);
    if (!report && !is_path(path, path_bytes, page_path))
        return {404, false, false};
    bool get = method_bytes == 3 && memcmp(method, "GET", 3) == 0;
    bool head = method_bytes == 4 && memcmp(method, "HEAD", 4) == 0;
    if (!get && !head)
        return {405, false, false};
    return {200, head, report};
}

http_verdict http_judge(const char *data, size_t length, const char *page_path,
                        const char *report_path)
{
    const char *end = data + length;
    const char *newline = line_end(data, end);
    if (newline == nullptr)
        return {length >= HTTP_HEAD_MAX_BYTES ? 414 : 0, false, false};
    if (static_cast<size_t>(newline - data) >= HTTP_HEAD_MAX_BYTES)
        return {414, false, false};
    // A malformed request line is refused at once, not after a head that may never end.
    bool needs_host = false;
    http_verdict verdict = judge_request_line(data, content_end(data, newline), page_path,
                                              report_path, &needs_host);
    if (verdict.status == 400 || verdict.status == 505)
        return verdict;
    // The head ends at its first empty line; until then every line must be a header's. HTTP/1.1
    // has exactly one Host, and no request two (RFC 9112, 3.2).
    int hosts = 0;
    for (const char *line = newline + 1;;) {
        const char *next = line_end(line, end);
        if (next == nullptr)
            return {length >= HTTP_HEAD_MAX_BYTES ? 431 : 0, false, false};
        if (static_cast<size_t>(next + 1 - data) > HTTP_HEAD_MAX_BYTES)
            return {431, false, false};
        if (content_end(line, next) == line)
            return hosts > 1 || (needs_host && hosts == 0) ? http_verdict{400, false, false}
                                                            : verdict;
        if (!is_header_line(line, content_end(line, next)))
            return {400, false, false};
        hosts += is_host_line(line, content_end(line, next));
        line = next + 1;
    }
}

const char *http_reason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 414: return "URI Too Long";
    case 431: return "Request Header Fields Too Large";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Error";
    }
}

size_t http_answer_head(char *out, int status, size_t body_bytes, bool html)
{
    // The version 0.0.4 text format is what every Prometheus scraper reads.
    const char *type = status != 200 ? "text/plain; charset=utf-8"
                       : html        ? "text/html; charset=utf-8"
                                     : "text/plain; version=0.0.4; charset=utf-8";
    int length = snprintf(out, HTTP_ANSWER_HEAD_MAX,
                          "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\n%s"
                          "Connection: close\r\n\r\n",
                          status, http_reason(status), type, body_bytes,
                          status == 405 ? "Allow: GET, HEAD\r\n" : "");
    return length < 0 ? 0 : static_cast<size_t>(length);
}
