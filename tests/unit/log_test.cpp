#include "base/log.h"
#include "base/output.h"

#include <gtest/gtest.h>

#include <errno.h>

#include <regex>
#include <string>

#include "base/error_text.h"
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
    output_flush();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(std::regex_search(out, info_prefix)) << out;
    std::string first = out.substr(0, out.find('\n') + 1);
    std::string second = out.substr(first.size());
    EXPECT_EQ(first.substr(prefix_length), "info] Stats: packets - 3; gaps - 4\n");
    // A format that ends in a newline is followed by an empty line.
    EXPECT_EQ(second.substr(prefix_length), "info] IP 1.2.3.4.9 > x\n\n");
}

TEST(LogLine, KeepsEachLineItsOwnLevel)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const char *levels[] = {"info", "error", "info", "error", "error", "info"};
    for (const char *level : levels)
        log_line(level[0] == 'i' ? stdout : stderr, level, "%s", level);
    output_flush();
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    const std::string stamp = R"(\[\d\d:\d\d:\d\d\.\d\d\d\] )";
    EXPECT_TRUE(std::regex_match(out, std::regex("(" + stamp + R"(\[info\] info\n){3})"))) << out;
    EXPECT_TRUE(std::regex_match(err, std::regex("(" + stamp + R"(\[error\] error\n){3})"))) << err;
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

TEST(LogLine, HoldsErrorLinesForAViewAndCountsThoseThatDoNotFit)
{
    testing::internal::CaptureStderr();
    log_hold_errors(true);
    log_line(stderr, "error", "first");
    log_line(stderr, "error", "%s", std::string(LOG_HELD_ERRORS_MAX, 'x').c_str());
    log_line(stderr, "error", "last");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    testing::internal::CaptureStderr();
    log_hold_errors(false);
    log_line(stderr, "error", "after");
    const std::string stamp = R"(\[\d\d:\d\d:\d\d\.\d\d\d\] \[error\] )";
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(std::regex_match(err, std::regex(stamp + "first\n" + stamp + "last\n" + stamp +
                                                 "1 more error lines came while the view was "
                                                 "shown\n" + stamp + "after\n")))
        << err;
}

TEST(ReportSocketError, NamesTheOperationCodeAndSystemText)
{
    ASSERT_EQ(net_startup(), 0);
    // A real failing call leaves its code behind as the last error.
    socket_handle s = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_NE(s, INVALID_SOCKET_HANDLE);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    // Capturing opens a file, which may leave a last error of its own: it goes first.
    testing::internal::CaptureStderr();
    // A socket is bound once; binding it again must fail.
    int again = bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address);
    int code = socket_last_error();
    report_socket_error("bind failed");
    std::string err = testing::internal::GetCapturedStderr();
    socket_close(s);
    ASSERT_NE(again, 0);
    char text[1024];
    ASSERT_EQ(socket_error_text(code, text, sizeof text), 1);
    EXPECT_TRUE(std::regex_search(err, error_prefix)) << err;
    EXPECT_EQ(err.substr(prefix_length),
              "error] bind failed: (" + std::to_string(code) + ") " + text + "\n");
}

TEST(ReportErrorCode, UsesTheGivenCodeOrSaysUnknownError)
{
    // The second code has no text on Windows; elsewhere the system makes one up for it.
    for (int code : {EINVAL, 0x3fffabcd}) {
        char text[1024];
        int have_text = socket_error_text(code, text, sizeof text);
        int code_after_lookup = socket_last_error();
        testing::internal::CaptureStderr();
        report_error_code("WSAStartup failed", code);
        std::string err = testing::internal::GetCapturedStderr();
        if (have_text) {
            EXPECT_EQ(err.substr(prefix_length),
                      "error] WSAStartup failed: (" + std::to_string(code) + ") " + text + "\n");
        } else {
            EXPECT_EQ(err.substr(prefix_length), "error] WSAStartup failed: (" +
                                                     std::to_string(code) + ") unknown error\n");
            EXPECT_NE(code_after_lookup, 0);
        }
    }
}

} // namespace
