// What the metrics page answers to every kind of request, hostile ones most of all.
#include "net/http.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct request_case {
    std::string request;
    int status;
    bool head = false;
};

const std::string long_value(HTTP_HEAD_MAX_BYTES, 'a');

const request_case request_cases[] = {
    {"GET /metrics HTTP/1.1\r\nHost: x\r\nAccept: text/plain;version=0.0.4\r\n\r\n", 200},
    {"HEAD /metrics HTTP/1.0\r\n\r\n", 200, true},
    {"GET /metrics?name[]=up HTTP/1.1\r\nhOsT: x\r\n\r\n", 200},
    // A lone line feed ends a line too (RFC 9112, 2.2).
    {"GET /metrics HTTP/1.1\nHost: x\n\n", 200},
    // The absolute form, which a server must take (RFC 9112, 3.2.2).
    {"GET http://host:9101/metrics HTTP/1.1\r\nHost: host:9101\r\n\r\n", 200},
    {"GET HTTP://[::1]/metrics?x HTTP/1.0\r\n\r\n", 200},
    {"GET http://host HTTP/1.1\r\nHost: host\r\n\r\n", 404},
    {"GET http://host?/metrics HTTP/1.1\r\nHost: host\r\n\r\n", 404},
    {"GET http://host/metricsx HTTP/1.1\r\nHost: host\r\n\r\n", 404},
    {"GET http:/metrics HTTP/1.1\r\nHost: host\r\n\r\n", 404},
    // HTTP/1.1 names its Host, once; HTTP/1.0 need not.
    {"GET /metrics HTTP/1.1\r\n\r\n", 400},
    {"GET /metrics HTTP/1.1\r\nX-Host: x\r\nHostname: x\r\n\r\n", 400},
    {"GET /metrics HTTP/1.1\r\nHost: x\r\nHost: y\r\n\r\n", 400},
    {"GET /metrics HTTP/1.0\r\nHost: x\r\nHost: y\r\n\r\n", 400},
    {"GET / HTTP/1.1\r\n\r\n", 400},
    {"GET /metrics HTTP/1.0\r\nHost:\r\n\r\n", 200},
    // Not ended yet: wait for more.
    {"GET /metr", 0},
    {"GET /metrics HTTP/1.1\r", 0},
    {"GET /metrics HTTP/1.1\r\nHost: x\r\n", 0},
    {"POST /metrics HTTP/1.1\r\nContent-Length: 3\r\n", 0},
    // Other paths, other methods.
    {"GET / HTTP/1.1\r\nHost: x\r\n\r\n", 404},
    {"GET /metrics/ HTTP/1.1\r\nHost: x\r\n\r\n", 404},
    {"GET metrics HTTP/1.1\r\nHost: x\r\n\r\n", 404},
    {"DELETE /other HTTP/1.1\r\nHost: x\r\n\r\n", 404},
    {"POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc", 405},
    {"get /metrics HTTP/1.1\r\nHost: x\r\n\r\n", 405},
    {"OPTIONS /metrics HTTP/1.1\r\nHost: x\r\n\r\n", 405},
    // Malformed request lines are refused as soon as they end, before any header.
    {"garbage\r\n", 400},
    {std::string("\x00\x01\x02\r\n", 5), 400},
    {"GET  /metrics HTTP/1.1\r\n", 400},
    {"GET /metrics\r\n", 400},
    {"GET /metrics HTTP/1.1 \r\n", 400},
    {"GET /metrics HTTP/1.1x\r\n", 400},
    {"GET /met\x01rics HTTP/1.1\r\n", 400},
    {"GET /metrics HTTP/2.0\r\n\r\n", 505},
    {"GET /metrics HTTP/0.9\r\n", 505},
    // Malformed header lines.
    {"GET /metrics HTTP/1.1\r\nno colon\r\n\r\n", 400},
    {"GET /metrics HTTP/1.1\r\n: empty name\r\n\r\n", 400},
    {"GET /metrics HTTP/1.1\r\nHost: x\r\n folded\r\n\r\n", 400},
    {"GET /metrics HTTP/1.1\r\nX: a\x01z\r\n\r\n", 400},
    {"GET /metrics HTTP/1.1\r\nHost: x\r\nX: a\tz\r\n\r\n", 200},
    // Too long: a request line that fills the head's room, a head that does.
    {"GET /" + long_value, 414},
    {"GET /" + long_value + " HTTP/1.1\r\n\r\n", 414},
    {"GET /metrics HTTP/1.1\r\nX: " + long_value, 431},
    {"GET /metrics HTTP/1.1\r\nX: " + long_value + "\r\n\r\n", 431},
    {"GET /metrics HTTP/1.1\r\nX: " + long_value.substr(0, HTTP_HEAD_MAX_BYTES - 30) + "\r\n", 0},
};

TEST(Http, JudgesEveryRequestFromItsHead)
{
    for (const request_case &c : request_cases) {
        SCOPED_TRACE(c.request.substr(0, 60));
        http_verdict verdict = http_judge(c.request.data(), c.request.size(), "/metrics", nullptr);
        EXPECT_EQ(verdict.status, c.status);
        EXPECT_EQ(verdict.head, c.head);
        EXPECT_FALSE(verdict.report);
    }
}

// With the report's page served at "/", it is judged as the metrics' page is, and told apart.
TEST(Http, ServesTheReportBesideTheMetrics)
{
    const struct {
        std::string request;
        int status;
        bool report;
    } rows[] = {
        {"GET / HTTP/1.1\r\nHost: x\r\n\r\n", 200, true},
        {"GET /?refresh=1 HTTP/1.0\r\n\r\n", 200, true},
        {"GET http://host HTTP/1.1\r\nHost: host\r\n\r\n", 200, true},
        {"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", 200, false},
        {"GET /index.html HTTP/1.1\r\nHost: x\r\n\r\n", 404, false},
        {"POST / HTTP/1.1\r\nHost: x\r\n\r\n", 405, false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.request);
        http_verdict verdict = http_judge(row.request.data(), row.request.size(), "/metrics", "/");
        EXPECT_EQ(verdict.status, row.status);
        EXPECT_EQ(verdict.report, row.report);
    }
    char head[HTTP_ANSWER_HEAD_MAX];
    std::string page(head, http_answer_head(head, 200, 10, true));
    EXPECT_NE(page.find("Content-Type: text/html; charset=utf-8\r\n"), std::string::npos) << page;
}

TEST(Http, AnswersCloseTheConnectionAndARefusalNamesWhatIsAllowed)
{
    char head[HTTP_ANSWER_HEAD_MAX];
    std::string page(head, http_answer_head(head, 200, 1234, false));
    EXPECT_EQ(page, "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
                    "Content-Length: 1234\r\nConnection: close\r\n\r\n");
    std::string refusal(head, http_answer_head(head, 405, 18, false));
    EXPECT_EQ(refusal, "HTTP/1.1 405 Method Not Allowed\r\nContent-Type: text/plain; charset=utf-8\r\n"
                       "Content-Length: 18\r\nAllow: GET, HEAD\r\nConnection: close\r\n\r\n");
}

} // namespace
