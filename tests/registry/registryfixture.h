#pragma once

#include "channel/sessionlist.h"
#include "commands/childprocess.h"
#include "commands/command.h"
#include "commands/commandthread.h"
#include "daemon/websocketserver.h"
#include "tests/support/childsignals.h"
#include "tests/support/logcapture.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace TarqSe::Test {

using Daemon::ChildProcess;

// A command that starts the given argument vector as a registered job.
class TestJob : public Daemon::Command {
public:
    TestJob(std::uint64_t messageId, const std::string& keyword, const std::string& replyName,
            std::vector<std::string> args)
        : Command(messageId, keyword), m_args(std::move(args)) {
        m_name = keyword;
        m_processName = replyName;
        m_valid = true;
    }
    bool run(Daemon::Session* session) override { return runAsync(m_args, session); }

private:
    std::vector<std::string> m_args;
};

inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::seconds timeout = std::chrono::seconds(60)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

struct ProcState {
    pid_t pid;
    char state;
};

// Every process whose parent is this test process.
inline std::vector<ProcState> childrenOfThisProcess() {
    std::vector<ProcState> out;
    const pid_t self = ::getpid();
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream in(entry.path() / "stat");
        std::string line;
        if (!std::getline(in, line))
            continue;
        const auto close = line.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream rest(line.substr(close + 2));
        char state = 0;
        pid_t ppid = 0;
        rest >> state >> ppid;
        if (ppid == self)
            out.push_back({static_cast<pid_t>(std::stol(name)), state});
    }
    return out;
}

inline std::vector<pid_t> zombieChildren() {
    std::vector<pid_t> out;
    for (const auto& child : childrenOfThisProcess())
        if (child.state == 'Z')
            out.push_back(child.pid);
    return out;
}

inline bool processGone(pid_t pid) {
    return !std::filesystem::exists("/proc/" + std::to_string(pid));
}

inline bool isZombie(pid_t pid) {
    for (const auto& child : childrenOfThisProcess())
        if (child.pid == pid)
            return child.state == 'Z';
    return false;
}

// Has the child ended? Asks without collecting it, so the registry's reaper still gets it.
inline bool hasExited(pid_t pid) {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
}

// The registry with real children: an I/O context run by test threads, and a real dispatcher
// whose ticks poll the registry and log each reply as it leaves.
class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarq-registry-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_dir = pattern;
        Daemon::WebSocketServer::useIoContext(&m_ioc);
        m_dispatcher = std::make_unique<Daemon::CommandThread>(m_ioc, m_sessions);
    }

    void TearDown() override {
        // Whatever a test left registered is killed and reported, so no child outlives it.
        startIoThreads();
        startTicks();
        for (const auto& keyword : m_keywords)
            if (ChildProcess::processExists(keyword))
                ChildProcess::terminateProcessByName(keyword);
        EXPECT_TRUE(waitUntil([this] {
            for (const auto& keyword : m_keywords)
                if (ChildProcess::processExists(keyword))
                    return false;
            return true;
        }));
        EXPECT_TRUE(waitUntil([] { return childrenOfThisProcess().empty(); }));
        m_dispatcher->cancel();
        m_guard.reset();
        m_ioc.stop();
        for (auto& thread : m_threads)
            thread.join();
        m_dispatcher.reset();
        Daemon::WebSocketServer::useIoContext(nullptr);
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }

    void startIoThreads(int count = 3) {
        if (!m_threads.empty())
            return;
        for (int i = 0; i < count; ++i)
            m_threads.emplace_back([this] { m_ioc.run(); });
    }

    void startTicks() {
        if (m_ticking)
            return;
        m_ticking = true;
        m_dispatcher->run();
    }

    void startAll() {
        startIoThreads();
        startTicks();
    }

    std::string writeScript(const std::string& relativePath, const std::string& body,
                            mode_t mode = 0755) {
        const std::filesystem::path path = std::filesystem::path(m_dir) / relativePath;
        std::filesystem::create_directories(path.parent_path());
        {
            std::ofstream out(path);
            out << "#!/bin/sh\n" << body << "\n";
        }
        ::chmod(path.c_str(), mode);
        return path.string();
    }

    // Runs a job for the given command the way the dispatcher does: the registry owns the
    // command when the start succeeds, else the caller deletes it.
    bool startJob(std::uint64_t messageId, const std::string& keyword,
                  const std::vector<std::string>& args, const std::string& replyName = {}) {
        m_keywords.insert(keyword);
        auto* job = new TestJob(messageId, keyword, replyName.empty() ? keyword : replyName, args);
        const bool started = job->run(nullptr);
        if (!started)
            delete job;
        return started;
    }

    static std::string startedReply(std::uint64_t id, const std::string& name) {
        return std::to_string(id) + "," + name + "::STARTED::status::0";
    }
    static std::string finishedReply(std::uint64_t id, const std::string& name, int code) {
        return std::to_string(id) + "," + name + "::FINISHED::status::" + std::to_string(code);
    }
    static std::string replyRecord(const std::string& reply) {
        return "CommandThread: New reply: '" + reply + "'";
    }

    // The replies of one message id that have left, in order.
    std::vector<std::string> repliesOf(std::uint64_t id) const {
        const std::string head = "CommandThread: New reply: '";
        const std::string idPrefix = std::to_string(id) + ",";
        std::vector<std::string> out;
        for (const auto& message : m_log.messages()) {
            if (message.compare(0, head.size(), head) != 0 || message.back() != '\'')
                continue;
            const std::string reply = message.substr(head.size(), message.size() - head.size() - 1);
            if (reply.compare(0, idPrefix.size(), idPrefix) == 0)
                out.push_back(reply);
        }
        return out;
    }

    bool waitForReply(const std::string& reply) const {
        return m_log.waitFor(replyRecord(reply), std::chrono::seconds(60));
    }

    // The process id from the registry's start record for this program.
    std::optional<pid_t> pidOf(const std::string& program) const {
        const std::string prefix =
            "ChildProcess: Start command with arg[0]: '" + program + "', pid: ";
        std::optional<pid_t> pid;
        for (const auto& message : m_log.messages())
            if (message.compare(0, prefix.size(), prefix) == 0)
                pid = static_cast<pid_t>(std::stol(message.substr(prefix.size())));
        return pid;
    }

    LogCapture m_log;
    std::string m_dir;
    boost::asio::io_context m_ioc;
    SpareChildSignals m_spareChildSignals{m_ioc};
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> m_guard{
        boost::asio::make_work_guard(m_ioc)};
    Daemon::SessionList m_sessions{m_ioc};
    std::unique_ptr<Daemon::CommandThread> m_dispatcher;
    std::vector<std::thread> m_threads;
    bool m_ticking = false;
    std::set<std::string> m_keywords;
};

} // namespace TarqSe::Test
