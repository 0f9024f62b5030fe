// Runs inside a private network namespace (tests/netns.sh), where lo carries multicast and
// nothing reaches a real network, not even a name lookup.
#include "net/receiver.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "net/address.h"

namespace {

TEST(ResolveHost, ResolvesDottedAddressesAndLocalNames)
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
        endpoint address;
        memset(&address, 0xaa, sizeof address);
        ASSERT_EQ(resolve_host(c.host, AF_INET, &address), 0) << c.host;
        char text[HOST_TEXT_MAX];
        format_host(text, &address);
        EXPECT_EQ(address.storage.ss_family, AF_INET);
        EXPECT_EQ(endpoint_port(&address), 0);
        EXPECT_EQ(std::string(text), c.address) << c.host;
    }
}

TEST(ResolveHost, ReportsAFailedLookup)
{
    ASSERT_EQ(net_startup(), 0);
    endpoint address;
    testing::internal::CaptureStderr();
    EXPECT_EQ(resolve_host("no-such-host.invalid", AF_INET, &address), -1);
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
    membership_request request = {};

    void SetUp() override
    {
        ASSERT_EQ(net_startup(), 0);
        endpoint bind_address;
        endpoint_any(&bind_address, AF_INET, 47001);
        s = open_receiver_socket(&bind_address);
        ASSERT_NE(s, INVALID_SOCKET_HANDLE);
        request.interface_addr.s_addr = htonl(INADDR_ANY);
    }
    void TearDown() override
    {
        if (s != INVALID_SOCKET_HANDLE)
            socket_close(s);
    }
    void set_group(const char *group)
    {
        ASSERT_EQ(resolve_host(group, AF_INET, &request.group), 0);
    }
};

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
        set_group("239.7.7.7");
        request.source_specific = c.source != nullptr;
        if (c.source != nullptr) {
            ASSERT_EQ(resolve_host(c.source, AF_INET, &request.source), 0);
        }
        request.interface_addr.s_addr = inet_addr(c.interface_addr);
        testing::internal::CaptureStderr();
        EXPECT_EQ(join_group(s, &request), 0);
        // Joining twice is refused by the system: proof that the first join took effect.
        EXPECT_EQ(join_group(s, &request), -1);
        leave_group(s, &request);
        std::string err = testing::internal::GetCapturedStderr();
        // Exactly one error line: the second join's.
        size_t first = err.find("[error] ");
        EXPECT_EQ(err.find("[error] ", first + 1), std::string::npos) << err;
        EXPECT_NE(err.find("[error] setsockopt failed: ("), std::string::npos) << err;
    }
}

TEST_F(Membership, JoiningAnAddressThatIsNotMulticastFails)
{
    set_group("127.0.0.1");
    testing::internal::CaptureStderr();
    EXPECT_EQ(join_group(s, &request), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[error] setsockopt failed: ("), std::string::npos) << err;
}

TEST_F(Membership, LeavingAGroupNotJoinedIsReportedOnly)
{
    set_group("239.7.7.8");
    testing::internal::CaptureStderr();
    leave_group(s, &request);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[error] setsockopt failed: ("), std::string::npos) << err;
}

} // namespace
