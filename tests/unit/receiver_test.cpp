// Runs inside a private network namespace (tests/netns.sh), where lo carries multicast and
// nothing reaches a real network, not even a name lookup.
#include "net/receiver.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace {

TEST(ResolveIpv4, ResolvesDottedAddressesAndLocalNames)
{
    ASSERT_EQ(net_startup(), 0);
    struct resolve_case {
        const char *host;
        const char *address;
    };
    const resolve_case cases[] = {
        {"239.1.2.3", "239.1.2.3"},
        {"127.0.0.2", "127.0.0.2"},
        {"localhost", "127.0.0.1"},
    };
    for (const resolve_case &c : cases) {
        sockaddr_in address;
        memset(&address, 0xaa, sizeof address);
        ASSERT_EQ(resolve_ipv4(c.host, &address), 0) << c.host;
        EXPECT_EQ(address.sin_family, AF_INET);
        EXPECT_EQ(address.sin_port, 0);
        EXPECT_EQ(address.sin_addr.s_addr, inet_addr(c.address)) << c.host;
    }
}

TEST(ResolveIpv4, ReportsAFailedLookup)
{
    ASSERT_EQ(net_startup(), 0);
    sockaddr_in address;
    testing::internal::CaptureStderr();
    EXPECT_EQ(resolve_ipv4("no-such-host.invalid", &address), -1);
    std::string err = testing::internal::GetCapturedStderr();
    std::regex line(R"(^\[\d\d:\d\d:\d\d\.\d\d\d\] \[error\] Failed to resolve address )"
                    R"("no-such-host\.invalid": \((-?\d+)\) (.+)\n$)");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(err, match, line)) << err;
    int code = std::stoi(match[1]);
    EXPECT_NE(code, 0);
    EXPECT_EQ(match[2].str(), gai_strerror(code));
}

struct Membership : testing::Test {
    socket_handle s = INVALID_SOCKET_HANDLE;
    sockaddr_in group_addr = {};
    sockaddr_in source_addr = {};
    settings options = {};

    void SetUp() override
    {
        ASSERT_EQ(net_startup(), 0);
        sockaddr_in bind_address = {};
        bind_address.sin_family = AF_INET;
        bind_address.sin_port = htons(47001);
        testing::internal::CaptureStdout();
        s = open_receiver_socket(&bind_address);
        fflush(stdout);
        bound_line = testing::internal::GetCapturedStdout();
        ASSERT_NE(s, INVALID_SOCKET_HANDLE);
        options.interface_addr.s_addr = htonl(INADDR_ANY);
    }
    void TearDown() override
    {
        if (s != INVALID_SOCKET_HANDLE)
            socket_close(s);
    }
    std::string bound_line;
};

TEST_F(Membership, BindLineShowsTheWildcardAddress)
{
    EXPECT_EQ(bound_line.substr(sizeof "[hh:mm:ss.mmm] " - 1),
              "[info] Socket is bound to 0.0.0.0:47001\n");
}

TEST_F(Membership, JoinsAndLeavesEachKindOnEachInterface)
{
    struct join_case {
        const char *source;
        const char *interface_addr;
    };
    const join_case cases[] = {
        {nullptr, "0.0.0.0"},
        {nullptr, "127.0.0.1"},
        {"127.0.0.2", "0.0.0.0"},
        {"127.0.0.3", "127.0.0.1"},
    };
    for (const join_case &c : cases) {
        ASSERT_EQ(resolve_ipv4("239.7.7.7", &group_addr), 0);
        options.source_host = c.source;
        options.interface_addr.s_addr = inet_addr(c.interface_addr);
        testing::internal::CaptureStderr();
        EXPECT_EQ(join_group(s, &options, &group_addr, &source_addr), 0);
        // Joining twice is refused by the system: proof that the first join took effect.
        EXPECT_EQ(join_group(s, &options, &group_addr, &source_addr), -1);
        leave_group(s, &options, &group_addr, &source_addr);
        std::string err = testing::internal::GetCapturedStderr();
        // Exactly one error line: the second join's.
        size_t first = err.find("[error] ");
        EXPECT_EQ(err.find("[error] ", first + 1), std::string::npos) << err;
        EXPECT_NE(err.find("[error] setsockopt failed: ("), std::string::npos) << err;
        if (c.source != nullptr) {
            EXPECT_EQ(source_addr.sin_addr.s_addr, inet_addr(c.source));
        }
    }
}

TEST_F(Membership, JoiningAnAddressThatIsNotMulticastFails)
{
    ASSERT_EQ(resolve_ipv4("127.0.0.1", &group_addr), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(join_group(s, &options, &group_addr, &source_addr), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[error] setsockopt failed: ("), std::string::npos) << err;
}

TEST_F(Membership, LeavingAGroupNotJoinedIsReportedOnly)
{
    ASSERT_EQ(resolve_ipv4("239.7.7.8", &group_addr), 0);
    testing::internal::CaptureStderr();
    leave_group(s, &options, &group_addr, &source_addr);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[error] setsockopt failed: ("), std::string::npos) << err;
}

} // namespace
