// How long a datagram line takes to reach a reader of mcwatch's output, for the benchmark:
// starts mcwatch with its standard output on a pipe, sends a paced stream (spinning between
// datagrams at high rates, so that they go evenly), notes each datagram's send time by its
// sequence number, and when a line with that number can be read, how much later that is.
// As in bench/run, the sender has core 0 to itself and mcwatch core 1; this reader shares core
// 1 where the sender spins (above 1,000 a second), and goes where the system puts it otherwise.
// Prints the median, the 99th and 99.9th percentiles and the largest, in microseconds, and how
// many lines came later than 1 ms.
//
//     latency <rate> <count> <mcwatch> [<mcwatch options>...] <group> <port>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

extern char **environ;

static void pin_to_core(int core)
{
    if (sysconf(_SC_NPROCESSORS_ONLN) < 2)
        return;
    cpu_set_t cores;
    CPU_ZERO(&cores);
    CPU_SET(core, &cores);
    pthread_setaffinity_np(pthread_self(), sizeof cores, &cores);
}

static int64_t now_ns()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

// Sends count datagrams at rate a second from 127.0.0.1, noting when each left.
static void send_stream(const char *group, int port, long rate, long count,
                        std::vector<std::atomic<int64_t>> *sent_ns)
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in source = {};
    source.sin_family = AF_INET;
    source.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr *>(&source), sizeof source);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = inet_addr(group);
    unsigned char payload[64] = {};
    int64_t start_ns = now_ns();
    for (long seq = 0; seq < count; seq++) {
        int64_t due_ns = start_ns + seq * 1000000000LL / rate;
        if (rate <= 1000) {
            timespec nap = {0, static_cast<long>(std::max<int64_t>(0, due_ns - now_ns()))};
            nanosleep(&nap, nullptr);
        }
        while (now_ns() < due_ns) {
        }
        int64_t number = seq;
        memcpy(payload + 4, &number, sizeof number);
        (*sent_ns)[static_cast<size_t>(seq)].store(now_ns());
        sendto(s, payload, sizeof payload, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    }
    close(s);
}

int main(int argc, char **argv)
{
    if (argc < 6) {
        fprintf(stderr, "usage: latency <rate> <count> <mcwatch> [options...] <group> <port>\n");
        return 2;
    }
    long rate = atol(argv[1]);
    long count = atol(argv[2]);
    const char *group = argv[argc - 2];
    int port = atoi(argv[argc - 1]);
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0)
        return 1;
    pin_to_core(1); // mcwatch inherits it
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);
    pid_t watcher;
    if (posix_spawn(&watcher, argv[3], &actions, nullptr, argv + 3, environ) != 0) {
        perror("posix_spawn");
        return 1;
    }
    close(pipe_ends[1]);
    if (rate <= 1000) {
        cpu_set_t cores;
        CPU_ZERO(&cores);
        for (long core = 0; core < sysconf(_SC_NPROCESSORS_ONLN) && core < CPU_SETSIZE; core++)
            CPU_SET(core, &cores);
        pthread_setaffinity_np(pthread_self(), sizeof cores, &cores);
    }
    usleep(500000); // the bind and the join
    std::vector<std::atomic<int64_t>> sent_ns(static_cast<size_t>(count));
    // A second after the last datagram mcwatch is stopped, so that its pipe closes and the
    // reading ends, whatever was lost on the way.
    std::thread sender([&] {
        pin_to_core(0);
        send_stream(group, port, rate, count, &sent_ns);
        usleep(1000000);
        kill(watcher, SIGINT);
    });

    std::vector<int64_t> delays_ns;
    static char buffer[1 << 16];
    size_t held = 0;
    for (;;) {
        ssize_t got = read(pipe_ends[0], buffer + held, sizeof buffer - held - 1);
        if (got <= 0)
            break;
        int64_t read_ns = now_ns();
        held += static_cast<size_t>(got);
        buffer[held] = '\0';
        char *line = buffer;
        for (char *end; (end = strchr(line, '\n')) != nullptr; line = end + 1) {
            *end = '\0';
            const char *seq_text = strstr(line, ", seq ");
            long seq = seq_text != nullptr ? atol(seq_text + 6) : -1;
            if (seq >= 0 && seq < count)
                delays_ns.push_back(read_ns - sent_ns[static_cast<size_t>(seq)].load());
        }
        held = static_cast<size_t>(buffer + held - line);
        memmove(buffer, line, held);
    }
    sender.join();
    waitpid(watcher, nullptr, 0);
    if (delays_ns.empty()) {
        fprintf(stderr, "latency: no line was read\n");
        return 1;
    }
    std::sort(delays_ns.begin(), delays_ns.end());
    auto at = [&](double share) {
        return delays_ns[std::min(delays_ns.size() - 1, static_cast<size_t>(share * delays_ns.size()))];
    };
    size_t late = static_cast<size_t>(
        delays_ns.end() - std::upper_bound(delays_ns.begin(), delays_ns.end(), 1000000));
    printf("%zu lines of %ld: median %.0f us, 99th percentile %.0f us, 99.9th %.0f us, "
           "largest %.0f us; %zu later than 1 ms\n",
           delays_ns.size(), count, at(0.5) / 1e3, at(0.99) / 1e3, at(0.999) / 1e3,
           delays_ns.back() / 1e3, late);
    return 0;
}
