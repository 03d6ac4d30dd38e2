#pragma once

#include "tests/e2e/harness.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <sys/prctl.h>

namespace TarqSe::E2e {

// A program directory per test, the daemon started from it on demand, WebSocket clients, and
// cleanup of everything the run left behind (processes, the directory, new log files).
class DaemonTest : public ::testing::Test {
protected:
    explicit DaemonTest(bool blankInDirName = false) : m_blankInDirName(blankInDirName) {}

    void SetUp() override {
        // Programs the daemon leaves running become children of the test, so they can be reaped.
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        ASSERT_TRUE(waitUntil([] { return listeningSockets(daemon_port).empty(); }, start_wait))
            << "port " << daemon_port << " is already taken";
        m_dir =
            std::make_unique<ProgramDir>(TARQ_DAEMON_BINARY, TARQ_FIXTURE_HELPER, m_blankInDirName);
    }

    void TearDown() override {
        m_clients.clear();
        for (auto& run : m_daemons) {
            // A run the test left running must still stop in order. Its jobs end first: the
            // registry keeps entries of jobs still running at the stop, which the leak check of
            // a sanitized build would report.
            if (run->running()) {
                run->endJobs();
                EXPECT_EQ(run->stop(), 0) << run->output();
            }
            for (const char* report : {"Sanitizer", "runtime error:"})
                EXPECT_EQ(run->errors().find(report), std::string::npos) << run->errors();
        }
        m_daemons.clear();
        m_dir.reset();
    }

    ProgramDir& dir() { return *m_dir; }
    DaemonProcess& daemon() { return *m_daemons.back(); }

    // Starts a daemon run and waits until it listens.
    ::testing::AssertionResult startDaemon(const std::vector<std::string>& environment = {}) {
        m_daemons.push_back(
            std::make_unique<DaemonProcess>(*m_dir, std::vector<std::string>{}, environment));
        if (daemon().waitListening())
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "the daemon does not listen on port " << daemon_port << "; its output:\n"
               << daemon().output() << daemon().errors();
    }

    // A client that has not connected yet; it lives until the end of the test.
    WsClient& newClient() {
        m_clients.push_back(std::make_unique<WsClient>());
        return *m_clients.back();
    }

    // A new client whose handshake succeeded, or null.
    WsClient* connect(const std::string& origin = {}) {
        WsClient& client = newClient();
        return client.connect(origin) ? &client : nullptr;
    }

    // Sends a request and returns the next count replies.
    static std::vector<std::string> exchange(WsClient& client, const std::string& request,
                                             std::size_t count) {
        EXPECT_TRUE(client.send(request)) << request;
        return client.read(count);
    }

    // The replies of a quick job: its STARTED, then its FINISHED with the code.
    static std::vector<std::string> quickJob(std::uint64_t id, const std::string& name,
                                             int code = 0) {
        return {started(id, name), finished(id, name, code)};
    }

    // A program path inside the program directory for "@name", anything else unchanged.
    std::vector<std::string> inDir(const std::vector<std::string>& argv) {
        std::vector<std::string> out;
        for (const auto& a : argv)
            out.push_back(!a.empty() && a[0] == '@' ? dir().file(a.substr(1)) : a);
        return out;
    }

    // What the daemon runs of this test wrote to the files of /var/log/TARQ.
    std::string logFileText() const {
        std::string text;
        for (const auto& file : m_logs.created())
            text += readFile(file);
        return text;
    }

    ::testing::AssertionResult hasRecord(const std::string& text, bool prefix = false) {
        if (daemon().waitForRecord(text, prefix))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "no record '" << text << "' in:\n"
                                             << daemon().output();
    }

private:
    // Destroyed last: the new log files go once every daemon run has ended.
    LogDirGuard m_logs;
    bool m_blankInDirName;
    std::unique_ptr<ProgramDir> m_dir;
    std::vector<std::unique_ptr<DaemonProcess>> m_daemons;
    std::vector<std::unique_ptr<WsClient>> m_clients;
};

} // namespace TarqSe::E2e
