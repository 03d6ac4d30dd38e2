// Start-up and stop of the daemon process: banner, start-up script, root check, a taken port,
// and the orderly stop on SIGINT and SIGTERM.

#include "tests/e2e/e2e_fixture.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <csignal>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace TarqSe::E2e {
namespace {

// "TARQ Daemon started, version '...', git branch '...', revision '...'", the version not empty.
bool isBanner(const std::string& message) {
    std::size_t at = 0;
    std::vector<std::string> values;
    for (const char* label :
         {"TARQ Daemon started, version '", "', git branch '", "', revision '"}) {
        const std::string text = label;
        if (message.compare(at, text.size(), text) != 0)
            return false;
        at += text.size();
        const auto quote = message.find('\'', at);
        if (quote == std::string::npos)
            return false;
        values.push_back(message.substr(at, quote - at));
        at = quote;
    }
    return message.substr(at) == "'" && !values[0].empty();
}

::testing::AssertionResult startsWithBanner(const std::vector<Record>& records) {
    if (!records.empty() && isBanner(records[0].message) && records[0].severity == "info")
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "first record: " << (records.empty() ? "(none)" : records[0].message);
}

struct StopCase {
    const char* label;
    int sig;
};

void PrintTo(const StopCase& c, std::ostream* os) {
    *os << c.label;
}

class E2eStop : public DaemonTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(E2eStop, EndsInOrderWithStatus0) {
    ASSERT_TRUE(startDaemon());
    WsClient* client = connect();
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(exchange(*client, "1,setdns a b", 2), quickJob(1, "setdns"));

    daemon().signal(GetParam().sig);
    EXPECT_EQ(daemon().waitExit(), 0);

    const auto records = daemon().records();
    EXPECT_TRUE(startsWithBanner(records));
    long at = 0;
    for (const char* step :
         {"WebSocketServer: Catch SIGINT/SIGTERM signal", "WebSocketServer: Stopping...",
          "WebSocketServer: Exiting...", "WebSocketServer: Bye..."}) {
        const long next = findRecord(records, step, false, at);
        EXPECT_GE(next, at) << step << " missing or out of order in:\n" << daemon().output();
        at = std::max(next, at);
    }
    EXPECT_TRUE(client->waitEnded()) << "the connection outlives the daemon";
}

INSTANTIATE_TEST_SUITE_P(Signals, E2eStop,
                         ::testing::Values(StopCase{"SIGTERM", SIGTERM},
                                           StopCase{"SIGINT", SIGINT}),
                         [](const auto& info) { return std::string(info.param.label); });

using E2eStartup = DaemonTest;

TEST_F(E2eStartup, RunsTheStartupScriptOnceWithoutArguments) {
    ASSERT_TRUE(startDaemon());
    EXPECT_EQ(dir().waitForCalls("aliases.sh", 1),
              (std::vector<std::vector<std::string>>{{dir().file("aliases.sh")}}));
    // Started detached, yet not left a zombie once it has ended.
    EXPECT_TRUE(waitUntil([&] { return dir().processes("aliases.sh").empty(); }, reply_wait));
    EXPECT_TRUE(waitUntil([&] { return zombieChildren(daemon().pid()).empty(); }, reply_wait));

    WsClient* client = connect();
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(exchange(*client, "1,setdns a b", 2), quickJob(1, "setdns"));
    EXPECT_EQ(dir().calls("aliases.sh").size(), 1u);
}

TEST_F(E2eStartup, ServesWithoutTheStartupScript) {
    dir().remove("aliases.sh");
    ASSERT_TRUE(startDaemon());
    EXPECT_TRUE(hasRecord("Initialization: Cannot start command, no args"));
    const auto records = daemon().records();
    const long missing = findRecord(records, "Initialization: Cannot start command, no args");
    ASSERT_GE(missing, 0);
    EXPECT_EQ(records[missing].severity, "error");

    WsClient* client = connect();
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(exchange(*client, "1,setdns a b", 2), quickJob(1, "setdns"));
}

TEST_F(E2eStartup, AClosedStandardOutputDoesNotEndTheDaemon) {
    // Standard output is a pipe whose reader has already gone; every record written there fails.
    DaemonProcess run(dir(), {"/bin/bash", "-c", "exec 1> >(exec true); wait $!; exec \"$0\""});
    ASSERT_TRUE(run.waitListening());
    ASSERT_TRUE(run.running());

    WsClient& client = newClient();
    ASSERT_TRUE(client.connect());
    EXPECT_TRUE(client.send("1,setdns a b"));
    EXPECT_EQ(client.read(2), quickJob(1, "setdns"));
    EXPECT_EQ(run.stop(), 0);
}

TEST_F(E2eStartup, ATakenPortEndsTheDaemonWithStatus255) {
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::acceptor taken(
        ioc, {boost::asio::ip::make_address_v4("127.0.0.1"), daemon_port});

    DaemonProcess run(dir());
    EXPECT_EQ(run.waitExit(), 255);
    const auto records = run.records();
    EXPECT_TRUE(startsWithBanner(records));
    const long bind = findRecord(records, "Listener: Bind: ", true);
    const long critical = findRecord(records, "WebSocketServer: Critical error, exiting...");
    EXPECT_GE(bind, 0) << run.output();
    EXPECT_GT(critical, bind) << run.output();
    if (critical >= 0) {
        EXPECT_EQ(records[critical].severity, "error");
    }
    EXPECT_LT(findRecord(records, "WebSocketServer: Run"), 0);
    EXPECT_EQ(run.errors(), "");
    // The start-up script runs before the listener is set up.
    EXPECT_EQ(dir().waitForCalls("aliases.sh", 1).size(), 1u);
}

struct RootCase {
    const char* label;
    std::vector<std::string> setpriv;
    // Whether /var/log/TARQ is missing at the start (so that it cannot be made without root).
    bool logDirMissing;
};

void PrintTo(const RootCase& c, std::ostream* os) {
    *os << c.label;
}

const RootCase root_cases[] = {
    {"user_not_root_log_dir_missing",
     {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"},
     true},
    {"user_not_root_log_dir_not_writable",
     {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"},
     false},
    {"group_not_root", {"/usr/bin/setpriv", "--reuid=0", "--regid=65534", "--clear-groups"}, false},
};

class E2eRootCheck : public DaemonTest, public ::testing::WithParamInterface<RootCase> {};

TEST_P(E2eRootCheck, WithoutRootTheDaemonRefusesToRun) {
    const RootCase& c = GetParam();
    const std::string logDir = "/var/log/TARQ";
    if (c.logDirMissing && std::filesystem::exists(logDir))
        GTEST_SKIP() << logDir << " exists here";
    if (!c.logDirMissing)
        std::filesystem::create_directories(logDir);

    DaemonProcess run(dir(), c.setpriv);
    EXPECT_EQ(run.waitExit(), 1);
    EXPECT_EQ(run.errors(), "ERROR: TARQ daemon requires root privileges\n");
    // The banner comes first even where the log directory cannot be made; the reason follows.
    const auto records = run.records();
    EXPECT_TRUE(startsWithBanner(records)) << run.output();
    if (c.logDirMissing) {
        ASSERT_GE(records.size(), 2u) << run.output();
        EXPECT_EQ(records[1].severity, "error");
        EXPECT_EQ(findRecord(records, "Log: File logging is off: ", true), 1) << run.output();
    }
    EXPECT_TRUE(dir().calls("aliases.sh").empty());
    EXPECT_TRUE(listeningSockets(daemon_port).empty());
}

INSTANTIATE_TEST_SUITE_P(Users, E2eRootCheck, ::testing::ValuesIn(root_cases),
                         [](const auto& info) { return std::string(info.param.label); });

} // namespace
} // namespace TarqSe::E2e
