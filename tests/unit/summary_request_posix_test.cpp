// POSIX only: the summary request (SIGUSR1) and the waits it must end, on a socket of a
// private network namespace (tests/netns.sh).
#include "base/process.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <thread>

#include "net/address.h"
#include "net/receiver.h"

namespace {

volatile sig_atomic_t summary_asked = 0;

void on_summary_asked(int)
{
    summary_asked = 1;
}

// A request comes at once, outside any wait (where a loop under load spends its time); one
// that came before a wait that could last keeps it from starting, and one during it ends it.
TEST(SummaryRequest, ComesAtOnceAndEndsAWaitThatCouldLast)
{
    ASSERT_EQ(net_startup(), 0);
    ASSERT_EQ(install_summary_handler(on_summary_asked), 0);
    net_end_waits_on_request(&summary_asked);
    endpoint bind_address;
    endpoint_any(&bind_address, AF_INET, 47002);
    socket_handle s = open_receiver_socket(&bind_address);
    ASSERT_NE(s, INVALID_SOCKET_HANDLE);
    wait_set set = {};
    ASSERT_EQ(wait_set_open(&set, &s, 1), 0);
    int ready[1];
    summary_asked = 0;
    raise(SIGUSR1);
    EXPECT_EQ(summary_asked, 1);
    EXPECT_EQ(wait_set_wait(&set, -1, ready, 1), WAIT_ENDED_EARLY);
    summary_asked = 0;
    pthread_t waiting = pthread_self();
    std::thread asker([waiting] {
        timespec pause = {0, 50000000};
        nanosleep(&pause, nullptr);
        pthread_kill(waiting, SIGUSR1);
    });
    EXPECT_EQ(wait_set_wait(&set, -1, ready, 1), WAIT_ENDED_EARLY);
    asker.join();
    EXPECT_EQ(summary_asked, 1);
    wait_set_close(&set);
    socket_close(s);
    net_end_waits_on_request(nullptr);
    signal(SIGUSR1, SIG_DFL);
}

} // namespace
