#include "log/log.h"

#include <gtest/gtest.h>

#include <errno.h>

#include <regex>
#include <string>

#include "net/socket.h"

namespace {

TEST(LogPrefix, FormatsTheTimeOfDayAndLevel)
{
    struct prefix_case {
        time_of_day now;
        const char *level;
        const char *expected;
    };
    const prefix_case cases[] = {
        {{9, 5, 3, 7}, "info", "[09:05:03.007] [info] "},
        {{0, 0, 0, 0}, "error", "[00:00:00.000] [error] "},
        {{23, 59, 59, 999}, "info", "[23:59:59.999] [info] "},
        {{14, 3, 7, 45}, "info", "[14:03:07.045] [info] "},
    };
    for (const prefix_case &c : cases) {
        char text[LOG_PREFIX_MAX];
        char *end = format_log_prefix(text, &c.now, c.level);
        EXPECT_EQ(std::string(text, end), c.expected);
    }
}

const std::regex info_prefix(R"(^\[\d\d:\d\d:\d\d\.\d\d\d\] \[info\] )");
const std::regex error_prefix(R"(^\[\d\d:\d\d:\d\d\.\d\d\d\] \[error\] )");
const size_t prefix_length = sizeof "[hh:mm:ss.mmm] [" - 1;

TEST(LogLine, WritesPrefixMessageAndNewlineToTheGivenStream)
{
    testing::internal::CaptureStdout();
    log_line(stdout, "info", "Stats: packets - %u; gaps - %u", 3u, 4u);
    log_line(stdout, "info", "IP %s.%hu > %s\n", "1.2.3.4", static_cast<unsigned short>(9), "x");
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(std::regex_search(out, info_prefix)) << out;
    std::string first = out.substr(0, out.find('\n') + 1);
    std::string second = out.substr(first.size());
    EXPECT_EQ(first.substr(prefix_length), "info] Stats: packets - 3; gaps - 4\n");
    // A format that ends in a newline is followed by an empty line.
    EXPECT_EQ(second.substr(prefix_length), "info] IP 1.2.3.4.9 > x\n\n");
}

TEST(LogLine, WritesLinesLongerThanItsBuffer)
{
    std::string host(5000, 'h');
    testing::internal::CaptureStderr();
    log_line(stderr, "error", "Failed to resolve address \"%s\": (%d) %s", host.c_str(), -2, "x");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(std::regex_search(err, error_prefix));
    EXPECT_EQ(err.substr(prefix_length),
              "error] Failed to resolve address \"" + host + "\": (-2) x\n");
}

TEST(ReportSocketError, NamesTheOperationCodeAndSystemText)
{
    // A real failing call leaves its code behind as the last error.
    socket_handle s = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_NE(s, INVALID_SOCKET_HANDLE);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("192.0.2.1"); // not a local address: bind must fail
    ASSERT_NE(bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    int code = socket_last_error();
    char text[1024];
    ASSERT_EQ(socket_error_text(code, text, sizeof text), 1);
    testing::internal::CaptureStderr();
    report_socket_error("bind failed");
    std::string err = testing::internal::GetCapturedStderr();
    socket_close(s);
    EXPECT_TRUE(std::regex_search(err, error_prefix)) << err;
    EXPECT_EQ(err.substr(prefix_length),
              "error] bind failed: (" + std::to_string(code) + ") " + text + "\n");
}

TEST(ReportErrorCode, UsesTheGivenCode)
{
    char text[1024];
    ASSERT_EQ(socket_error_text(EINVAL, text, sizeof text), 1);
    testing::internal::CaptureStderr();
    report_error_code("WSAStartup failed", EINVAL);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.substr(prefix_length),
              "error] WSAStartup failed: (" + std::to_string(EINVAL) + ") " + text + "\n");
}

} // namespace
