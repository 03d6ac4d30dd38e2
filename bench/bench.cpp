// tarq_bench: figures of the daemon from a client's point of view.
//
//   tarq_bench [--requests N] [--burst N] [--daemon PATH]   starts its own daemon (as root,
//                                                           port 7506 free) in a temporary
//                                                           program directory
//   tarq_bench --connect [--pid PID] [...]                  uses a daemon already running on
//                                                           127.0.0.1:7506 (its setdns.sh runs)
//
// Prints the round trip from request to FINISHED of a quick job (setdns), the reply throughput
// of a burst, and the daemon's resident memory before and after.

#include "tests/e2e/harness.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <sys/prctl.h>
#include <unistd.h>

using namespace TarqSe::E2e;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
    bool connectOnly = false;
    pid_t pid = -1;
    int requests = 100;
    int burst = 200;
    std::string daemon = TARQ_DAEMON_BINARY;
};

void usage() {
    std::cerr << "usage: tarq_bench [--connect [--pid PID]] [--requests N] [--burst N] "
                 "[--daemon PATH]\n";
}

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--connect")
            o.connectOnly = true;
        else if (a == "--pid" && hasValue)
            o.pid = std::atoi(argv[++i]);
        else if (a == "--requests" && hasValue)
            o.requests = std::clamp(std::atoi(argv[++i]), 1, 10000);
        else if (a == "--burst" && hasValue)
            o.burst = std::clamp(std::atoi(argv[++i]), 1, 10000);
        else if (a == "--daemon" && hasValue)
            o.daemon = argv[++i];
        else
            return false;
    }
    return true;
}

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const std::size_t i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

// Reads until the FINISHED reply of the id; false when it does not come.
bool waitFinished(WsClient& client, std::uint64_t id) {
    const std::string prefix = std::to_string(id) + ",setdns::FINISHED::";
    while (auto m = client.next())
        if (m->text.rfind(prefix, 0) == 0)
            return true;
    return false;
}

std::string helperProgram() {
#ifdef TARQ_FIXTURE_HELPER
    return TARQ_FIXTURE_HELPER;
#else
    static const std::string path = "/tmp/tarq-bench-helper-" + std::to_string(::getpid());
    std::ofstream(path) << "#!/bin/sh\nexit 0\n";
    return path;
#endif
}

void printRss(const char* when, pid_t pid) {
    if (pid > 0)
        std::printf("daemon RSS %-6s %ld kB\n", when, residentKb(pid));
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        usage();
        return 2;
    }

    std::unique_ptr<LogDirGuard> logs;
    std::unique_ptr<ProgramDir> dir;
    std::unique_ptr<DaemonProcess> daemon;
    pid_t pid = o.pid;
    if (!o.connectOnly) {
        if (!listeningSockets(daemon_port).empty()) {
            std::cerr << "port " << daemon_port << " is taken; use --connect\n";
            return 1;
        }
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        logs = std::make_unique<LogDirGuard>();
        dir = std::make_unique<ProgramDir>(o.daemon, helperProgram());
        daemon = std::make_unique<DaemonProcess>(*dir);
        if (!daemon->waitListening()) {
            std::cerr << "the daemon does not listen:\n" << daemon->output() << daemon->errors();
            return 1;
        }
        pid = daemon->pid();
    }
    printRss("before", pid);

    WsClient client;
    if (!client.connect()) {
        std::cerr << "cannot connect: " << client.handshakeError().message() << "\n";
        return 1;
    }
    // Ids above anything an earlier run of a long-running daemon has seen.
    std::uint64_t id = o.connectOnly ? static_cast<std::uint64_t>(std::time(nullptr)) * 100000 : 0;

    std::vector<double> rounds;
    for (int i = 0; i < o.requests; ++i) {
        const auto t0 = Clock::now();
        ++id;
        if (!client.send(std::to_string(id) + ",setdns a b") || !waitFinished(client, id)) {
            std::cerr << "request " << id << " got no FINISHED\n";
            return 1;
        }
        rounds.push_back(ms(Clock::now() - t0));
    }
    std::printf("round trip to FINISHED, %d setdns requests: median %.1f ms, p95 %.1f ms, "
                "min %.1f ms, max %.1f ms\n",
                o.requests, percentile(rounds, 0.5), percentile(rounds, 0.95),
                *std::min_element(rounds.begin(), rounds.end()),
                *std::max_element(rounds.begin(), rounds.end()));

    const auto burstStart = Clock::now();
    const std::uint64_t first = id + 1;
    for (int i = 0; i < o.burst; ++i)
        if (!client.send(std::to_string(++id) + ",setdns a b")) {
            std::cerr << "send failed\n";
            return 1;
        }
    const std::size_t expected = 2 * static_cast<std::size_t>(o.burst);
    std::size_t received = 0;
    while (received < expected && client.next())
        ++received;
    const double burstMs = ms(Clock::now() - burstStart);
    std::printf("burst of %d requests (ids %llu..%llu): %zu of %zu replies in %.0f ms, "
                "%.1f replies/s\n",
                o.burst, static_cast<unsigned long long>(first),
                static_cast<unsigned long long>(id), received, expected, burstMs,
                1000.0 * static_cast<double>(received) / burstMs);

    printRss("after", pid);
    client.close();
    if (daemon)
        daemon->stop();
    return received == expected ? 0 : 1;
}
