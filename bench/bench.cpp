// tarq_bench: the daemon's latencies from a client's point of view, each beside the floor that
// the dispatcher's design sets, with what the floor is made of measured in the same run.
//
//   tarq_bench [--requests N] [--rate R] [--burst N] [--daemon PATH]
//       starts its own daemon (as root, port 7506 free) in a temporary program directory, where
//       setdns.sh is the fixture helper: a job of 15 to 24 ms that stamps its start and exit
//   tarq_bench --connect [--pid PID] [--stamps FILE] [...]
//       uses a daemon already running on 127.0.0.1:7506 (its setdns.sh runs); FILE is where its
//       helpers stamp (TARQ_FIXTURE_STAMPS), without it job exit -> FINISHED is not known
//
// One request is taken and one reply sent per tick of period T. A job's STARTED is queued by the
// first tick after its spawn, its FINISHED by its exit callback and sent by the next tick:
//   request -> STARTED >= U(0,T) + spawn + T        job exit -> FINISHED >= U(0,T)
// T is the spacing of a burst's replies, spawn the bench's own fork/exec of the same helper.

#include "tests/e2e/harness.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace TarqSe::E2e;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::chrono::milliseconds design_tick{10};
constexpr int job_min_ms = 15;
constexpr int job_max_ms = 24;
constexpr int floor_draws = 100000;
const std::string stamps_variable = "TARQ_FIXTURE_STAMPS";

struct Options {
    bool connectOnly = false;
    pid_t pid = -1;
    std::string stamps;
    int requests = 200;
    int rate = 20;
    int burst = 200;
    std::string daemon = TARQ_DAEMON_BINARY;
};

void usage() {
    std::cerr << "usage: tarq_bench [--connect [--pid PID] [--stamps FILE]] [--requests N] "
                 "[--rate PER_SECOND] [--burst N] [--daemon PATH]\n";
}

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--connect")
            o.connectOnly = true;
        else if (a == "--pid" && hasValue)
            o.pid = std::atoi(argv[++i]);
        else if (a == "--stamps" && hasValue)
            o.stamps = argv[++i];
        else if (a == "--requests" && hasValue)
            o.requests = std::clamp(std::atoi(argv[++i]), 1, 10000);
        else if (a == "--rate" && hasValue)
            // Two replies per request and one reply per tick: beyond 50/s replies queue up.
            o.rate = std::clamp(std::atoi(argv[++i]), 1, 50);
        else if (a == "--burst" && hasValue)
            o.burst = std::clamp(std::atoi(argv[++i]), 10, 10000);
        else if (a == "--daemon" && hasValue)
            o.daemon = argv[++i];
        else
            return false;
    }
    // The stamps of its own daemon the bench knows.
    return o.stamps.empty() || o.connectOnly;
}

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const std::size_t i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

struct Spread {
    double median = 0;
    double p99 = 0;
};

std::optional<Spread> spread(const std::vector<double>& v) {
    if (v.empty())
        return std::nullopt;
    return Spread{percentile(v, 0.5), percentile(v, 0.99)};
}

// Slope of the points (i, y[i]) for i in [first, last), by least squares.
double slope(const std::vector<double>& y, std::size_t first, std::size_t last) {
    const double n = static_cast<double>(last - first);
    double meanX = 0, meanY = 0;
    for (std::size_t i = first; i < last; ++i) {
        meanX += static_cast<double>(i) / n;
        meanY += y[i] / n;
    }
    double sxy = 0, sxx = 0;
    for (std::size_t i = first; i < last; ++i) {
        const double dx = static_cast<double>(i) - meanX;
        sxy += dx * (y[i] - meanY);
        sxx += dx * dx;
    }
    return sxx > 0 ? sxy / sxx : 0;
}

bool parseNumber(const std::string& text, std::uint64_t& number) {
    const auto r = std::from_chars(text.data(), text.data() + text.size(), number);
    return r.ec == std::errc() && r.ptr == text.data() + text.size();
}

// ---------------------------------------------------------------------------------------------
// Stamps of the fixture helper: "start PID NS ARGS..." and "exit PID NS"

// setdns.sh runs as "setdns.sh -setdnsservers TAG NUMBER": the bench's requests give it the tag
// "bench" and their id, its own spawns "spawn" and their index.
struct HelperRun {
    std::optional<Clock::time_point> start;
    std::optional<Clock::time_point> exit;
};

// A start names its run by its arguments; an exit belongs to the last start of its pid, since a
// pid is given again only after its process has ended.
std::map<std::uint64_t, HelperRun> helperRuns(const std::string& stampsPath,
                                              const std::string& tag) {
    std::map<std::uint64_t, HelperRun> runs;
    std::map<pid_t, HelperRun*> running;
    std::istringstream lines(readFile(stampsPath));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream in(line);
        std::string event, option, runTag, number;
        pid_t pid = -1;
        long long ns = 0;
        if (!(in >> event >> pid >> ns))
            continue;
        const Clock::time_point at{
            std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(ns))};
        if (event == "exit") {
            if (const auto r = running.find(pid); r != running.end())
                r->second->exit = at;
            running.erase(pid);
            continue;
        }
        running.erase(pid);
        std::uint64_t n = 0;
        if (event == "start" && in >> option >> runTag >> number && option == "-setdnsservers" &&
            runTag == tag && parseNumber(number, n)) {
            runs[n].start = at;
            running[pid] = &runs[n];
        }
    }
    return runs;
}

// ---------------------------------------------------------------------------------------------
// Jobs and their replies

struct Job {
    Clock::time_point sent;
    std::optional<Clock::time_point> started;
    std::optional<Clock::time_point> finished;
    HelperRun helper;
};
using Jobs = std::map<std::uint64_t, Job>;

std::string request(std::uint64_t id) {
    return std::to_string(id) + ",setdns bench " + std::to_string(id);
}

// The job of "id,setdns::STARTED::..." or "id,setdns::FINISHED::...", if it is one of ours:
// with --connect, replies to the daemon's other clients may come to this session too.
Job* jobOf(Jobs& jobs, const std::string& reply, bool& finished) {
    const auto comma = reply.find(',');
    std::uint64_t id = 0;
    if (comma == std::string::npos || !parseNumber(reply.substr(0, comma), id))
        return nullptr;
    const std::string rest = reply.substr(comma + 1);
    finished = rest.rfind("setdns::FINISHED::", 0) == 0;
    if (!finished && rest.rfind("setdns::STARTED::", 0) != 0)
        return nullptr;
    const auto job = jobs.find(id);
    return job == jobs.end() ? nullptr : &job->second;
}

void take(Jobs& jobs, const WsClient::Message& m) {
    bool finished = false;
    if (Job* job = jobOf(jobs, m.text, finished))
        (finished ? job->finished : job->started) = m.received;
}

// Reads replies until the time comes; false when the connection has ended.
bool readUntil(WsClient& client, Clock::time_point until, Jobs& jobs) {
    for (auto now = Clock::now(); now < until; now = Clock::now()) {
        if (auto m = client.next(std::chrono::ceil<std::chrono::milliseconds>(until - now)))
            take(jobs, *m);
        else if (client.readError())
            return false;
    }
    return true;
}

bool readRest(WsClient& client, Jobs& jobs) {
    const auto done = [&] {
        return std::all_of(jobs.begin(), jobs.end(),
                           [](const auto& j) { return j.second.started && j.second.finished; });
    };
    while (!done()) {
        auto m = client.next(reply_wait);
        if (!m)
            return false;
        take(jobs, *m);
    }
    return true;
}

// The tick grid starts again after each spawn, so a job of fixed length would end at the same
// point of a tick every time; a random length lets its exit fall anywhere in the tick. A job that
// reads its behaviour late and gets the next one's is just as random.
void drawJobLength(const ProgramDir& dir, std::mt19937_64& rng) {
    std::uniform_int_distribution<int> length(job_min_ms, job_max_ms);
    dir.setBehaviour("setdns.sh", "sleep " + std::to_string(length(rng)) + " exit 0");
}

// Requests at a steady rate, each at a random point of the first tick of its slot, so that
// arrivals fall anywhere in the dispatcher's tick. Never in step with the replies: a request
// sent right after a reply carries the ACK that Nagle's algorithm waits for, and hides its stall.
// jobsDir: the daemon's program directory, when it is the bench's own.
bool runPaced(WsClient& client, const Options& o, const ProgramDir* jobsDir, std::uint64_t& id,
              std::mt19937_64& rng, Jobs& jobs) {
    const auto slot = std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)) / o.rate;
    std::uniform_int_distribution<Clock::rep> offset(0, Clock::duration(design_tick).count() - 1);
    const auto begin = Clock::now() + design_tick;
    for (int i = 0; i < o.requests; ++i) {
        if (!readUntil(client, begin + i * slot + Clock::duration(offset(rng)), jobs))
            return false;
        Job& job = jobs[++id];
        job.sent = Clock::now();
        if (!client.send(request(id)))
            return false;
        if (jobsDir)
            drawJobLength(*jobsDir, rng);
    }
    return readRest(client, jobs);
}

// ---------------------------------------------------------------------------------------------
// Burst and the tick

struct Burst {
    std::size_t expected = 0;
    std::vector<double> arrivals; // ms after the first send, in order
    double takingMs = 0;          // reply spacing while each tick also takes a request
    double tickMs = 0;            // reply spacing once every request was taken: T
};

// Each tick takes one request and sends one reply while the reply queue is not empty. Reply r
// (from 0) leaves with tick r + 2, so from reply count - 1 on the ticks only send: their spacing
// is the bare tick. A fit over many replies, since Nagle's algorithm may bunch some together.
bool runBurst(WsClient& client, int count, std::uint64_t& id, Burst& burst) {
    Jobs jobs;
    const auto begin = Clock::now();
    for (int i = 0; i < count; ++i) {
        jobs[++id].sent = Clock::now();
        if (!client.send(request(id)))
            return false;
    }
    burst.expected = 2 * jobs.size();
    while (burst.arrivals.size() < burst.expected) {
        auto m = client.next(reply_wait);
        if (!m)
            return false;
        bool finished = false;
        if (jobOf(jobs, m->text, finished))
            burst.arrivals.push_back(ms(m->received - begin));
    }
    const auto n = static_cast<std::size_t>(count);
    burst.takingMs = slope(burst.arrivals, 0, n - 1);
    burst.tickMs = slope(burst.arrivals, n, 2 * n);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Spawn

struct Spawn {
    std::vector<double> execMs;  // fork to exec done: all that the daemon's tick waits for
    std::vector<double> stampMs; // fork to the helper's start stamp
    std::vector<double> reapMs;  // the helper's exit stamp to waitpid's return
};

// Forks and execs setdns.sh as the daemon's process library does: the parent waits until a
// close-on-exec pipe closes, that is until the exec has succeeded.
bool measureSpawn(const ProgramDir& dir, int count, Spawn& spawn) {
    dir.setBehaviour("setdns.sh", "exit 0");
    const std::string stampsPath = dir.file("spawn.stamps");
    std::vector<std::string> env{stamps_variable + "=" + stampsPath};
    for (char** e = environ; *e; ++e)
        if (std::string(*e).rfind(stamps_variable + "=", 0) != 0)
            env.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    struct Times {
        Clock::time_point forked, execDone, reaped;
    };
    std::vector<Times> times;
    for (int i = 0; i < count; ++i) {
        std::vector<std::string> args{dir.file("setdns.sh"), "-setdnsservers", "spawn",
                                      std::to_string(i)};
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return false;
        Times t;
        t.forked = Clock::now();
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        char byte;
        while (pid > 0 && ::read(fds[0], &byte, 1) < 0 && errno == EINTR) {
        }
        t.execDone = Clock::now();
        ::close(fds[0]);
        int status = 0;
        if (pid < 0 || ::waitpid(pid, &status, 0) != pid)
            return false;
        t.reaped = Clock::now();
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return false;
        times.push_back(t);
    }
    const auto runs = helperRuns(stampsPath, "spawn");
    for (const auto& [i, run] : runs) {
        if (i >= times.size() || !run.start || !run.exit)
            return false;
        spawn.execMs.push_back(ms(times[i].execDone - times[i].forked));
        spawn.stampMs.push_back(ms(*run.start - times[i].forked));
        spawn.reapMs.push_back(ms(times[i].reaped - *run.exit));
    }
    return runs.size() == times.size();
}

// ---------------------------------------------------------------------------------------------
// Floors

// request -> STARTED >= U(0,T) + T + spawn, spawn drawn from the measured samples.
Spread startedFloor(double tickMs, const std::vector<double>& spawnMs, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> phase(0, tickMs);
    std::uniform_int_distribution<std::size_t> pick(0, spawnMs.size() - 1);
    std::vector<double> draws(floor_draws);
    for (double& d : draws)
        d = phase(rng) + tickMs + spawnMs[pick(rng)];
    return *spread(draws);
}

// job exit -> FINISHED >= U(0,T).
Spread finishedFloor(double tickMs) {
    return {0.5 * tickMs, 0.99 * tickMs};
}

// ---------------------------------------------------------------------------------------------
// Report

void printFigure(const char* what, const std::vector<double>& samples) {
    const Spread s = *spread(samples);
    std::printf("  %-38s %8.3f %8.3f\n", what, s.median, s.p99);
}

void printLatency(const char* what, const std::optional<Spread>& measured,
                  const std::optional<Spread>& floor) {
    if (!measured) {
        std::printf("  %-22s not measured: no stamps\n", what);
        return;
    }
    std::printf("  %-22s %8.2f %8.2f", what, measured->median, measured->p99);
    if (floor)
        std::printf(" %8.2f %8.2f %8.2f %8.2f", floor->median, floor->p99,
                    measured->median / floor->median, measured->p99 / floor->p99);
    std::printf("\n");
}

void report(const Options& o, const Jobs& jobs, const Burst& burst, const Spawn& spawn,
            std::mt19937_64& rng) {
    std::vector<double> toStarted, toFinished, exitToFinished, jobLength;
    for (const auto& [id, j] : jobs) {
        toStarted.push_back(ms(*j.started - j.sent));
        toFinished.push_back(ms(*j.finished - j.sent));
        if (j.helper.start && j.helper.exit) {
            exitToFinished.push_back(ms(*j.finished - *j.helper.exit));
            jobLength.push_back(ms(*j.helper.exit - *j.helper.start));
        }
    }
    const double tick = burst.tickMs;

    std::printf("%s: %d setdns requests at %d/s, each at a random point of a %lld ms tick\n",
                o.connectOnly ? "daemon on port 7506" : o.daemon.c_str(), o.requests, o.rate,
                static_cast<long long>(design_tick.count()));
    std::printf("\n  %-38s %8s %8s\n", "ms", "median", "p99");
    std::printf("  %-38s %8.3f\n", "tick T (burst reply spacing)", tick);
    printFigure("spawn: fork to exec done", spawn.execMs);
    printFigure("       fork to the helper's start stamp", spawn.stampMs);
    printFigure("exit: helper's exit stamp to reaped", spawn.reapMs);
    if (!jobLength.empty())
        printFigure("job: helper's start to exit stamp", jobLength);

    std::printf("\n  %-22s %17s %17s %17s\n", "ms", "measured", "floor", "measured/floor");
    std::printf("  %-22s %8s %8s %8s %8s %8s %8s\n", "", "median", "p99", "median", "p99", "median",
                "p99");
    printLatency("request -> STARTED", spread(toStarted), startedFloor(tick, spawn.execMs, rng));
    printLatency("job exit -> FINISHED", spread(exitToFinished), finishedFloor(tick));
    printLatency("request -> FINISHED", spread(toFinished), std::nullopt);
    std::printf("  floors: U(0,T) + T + spawn (fork to exec done) and U(0,T)\n");

    const double burstMs = burst.arrivals.back();
    std::printf("\nburst of %d requests: %zu replies in %.0f ms, %.1f replies/s; reply spacing "
                "%.3f ms while requests are taken, %.3f ms after\n",
                o.burst, burst.arrivals.size(), burstMs,
                1000.0 * static_cast<double>(burst.arrivals.size()) / burstMs, burst.takingMs,
                burst.tickMs);
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

    if (!o.connectOnly && !listeningSockets(daemon_port).empty()) {
        std::cerr << "port " << daemon_port << " is taken; use --connect\n";
        return 1;
    }
    // Helpers that outlive the daemon come to the bench, which reaps them.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    // The daemon's program directory, and in any case the helper that spawns are measured with.
    const ProgramDir dir(o.daemon, TARQ_FIXTURE_HELPER);
    std::unique_ptr<LogDirGuard> logs;
    std::unique_ptr<DaemonProcess> daemon;
    pid_t pid = o.pid;
    std::string stamps = o.stamps;
    if (!o.connectOnly) {
        logs = std::make_unique<LogDirGuard>();
        stamps = dir.file("jobs.stamps");
        daemon = std::make_unique<DaemonProcess>(
            dir, std::vector<std::string>{},
            std::vector<std::string>{stamps_variable + "=" + stamps});
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
    std::mt19937_64 rng(std::random_device{}());

    const ProgramDir* jobsDir = o.connectOnly ? nullptr : &dir;
    if (jobsDir)
        drawJobLength(*jobsDir, rng);
    Jobs jobs;
    if (!runPaced(client, o, jobsDir, id, rng, jobs)) {
        std::cerr << "some of the paced requests got no FINISHED\n";
        return 1;
    }
    if (!stamps.empty())
        for (const auto& [jobId, run] : helperRuns(stamps, "bench"))
            if (const auto job = jobs.find(jobId); job != jobs.end())
                job->second.helper = run;

    Burst burst;
    if (!runBurst(client, o.burst, id, burst)) {
        std::cerr << "burst: " << burst.arrivals.size() << " of " << burst.expected << " replies\n";
        return 1;
    }
    Spawn spawn;
    if (!measureSpawn(dir, o.requests, spawn)) {
        std::cerr << "the helper does not start and stamp as it should\n";
        return 1;
    }

    report(o, jobs, burst, spawn, rng);
    printRss("after", pid);
    client.close();
    if (daemon)
        daemon->stop();
    return 0;
}
