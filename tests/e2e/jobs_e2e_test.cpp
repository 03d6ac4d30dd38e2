// Long-running programs: one at a time, ended by the kill and stop requests, and independent of
// the daemon once started.

#include "tests/e2e/e2e_fixture.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <ostream>

#include <unistd.h>

namespace TarqSe::E2e {
namespace {

long indexOf(const std::vector<std::string>& replies, const std::string& reply) {
    const auto it = std::find(replies.begin(), replies.end(), reply);
    return it == replies.end() ? -1 : static_cast<long>(it - replies.begin());
}

struct KillCase {
    const char* label;
    const char* program;
    const char* start;
    const char* startName;
    const char* kill;
    const char* killName;
};

void PrintTo(const KillCase& c, std::ostream* os) {
    *os << c.label;
}

const KillCase kill_cases[] = {
    {"killtarq", "openvpn", "starttarq a b c", "openvpn", "killtarq", "killtarq"},
    {"killdnscryptproxy", "dnscrypt-proxy", "dnscrypt start a b", "dnscrypt", "killdnscryptproxy",
     "killdnscryptproxy"},
};

class E2eKill : public DaemonTest, public ::testing::WithParamInterface<KillCase> {};

TEST_P(E2eKill, EndsTheDaemonsProgramWhichReportsUnderItsOwnId) {
    const KillCase& c = GetParam();
    dir().setBehaviour(c.program, "wait");
    ASSERT_TRUE(startDaemon());
    WsClient* client = connect();
    ASSERT_NE(client, nullptr);

    EXPECT_EQ(exchange(*client, std::string("1,") + c.start, 1),
              (std::vector<std::string>{started(1, c.startName)}));
    ASSERT_EQ(dir().waitForCalls(c.program, 1).size(), 1u);

    // killall sends SIGTERM; the kill job itself ends with 0.
    const auto replies = exchange(*client, std::string("2,") + c.kill, 3);
    EXPECT_EQ(replies.size(), 3u);
    const long killStarted = indexOf(replies, started(2, c.killName));
    const long killFinished = indexOf(replies, finished(2, c.killName, 0));
    EXPECT_GE(killStarted, 0);
    EXPECT_GT(killFinished, killStarted);
    EXPECT_GE(indexOf(replies, finished(1, c.startName, 15)), 0);
    EXPECT_TRUE(dir().processes(c.program).empty());

    // The ended job no longer blocks a new start.
    EXPECT_EQ(exchange(*client, std::string("3,") + c.start, 1),
              (std::vector<std::string>{started(3, c.startName)}));
    EXPECT_EQ(dir().waitForCalls(c.program, 2).size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Programs, E2eKill, ::testing::ValuesIn(kill_cases),
                         [](const auto& info) { return std::string(info.param.label); });

using E2eJobs = DaemonTest;

TEST_F(E2eJobs, DnscryptStartEndsTheRunningOneBeforeTheNewOneStarts) {
    dir().setBehaviour("dnscrypt-proxy", "wait");
    ASSERT_TRUE(startDaemon());
    WsClient* client = connect();
    ASSERT_NE(client, nullptr);

    EXPECT_EQ(exchange(*client, "1,dnscrypt start a b", 1),
              (std::vector<std::string>{started(1, "dnscrypt")}));
    ASSERT_EQ(dir().waitForCalls("dnscrypt-proxy", 1).size(), 1u);
    const auto old = dir().processes("dnscrypt-proxy");
    ASSERT_EQ(old.size(), 1u);

    EXPECT_EQ(exchange(*client, "2,dnscrypt start c d", 2),
              (std::vector<std::string>{finished(1, "dnscrypt", 9), started(2, "dnscrypt")}));
    EXPECT_TRUE(hasRecord("Dnscrypt: Already started, terminating and restart again"));
    EXPECT_FALSE(processAlive(old[0]));
    const auto calls = dir().waitForCalls("dnscrypt-proxy", 2);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1], inDir({"@dnscrypt-proxy", "c", "d"}));
    EXPECT_EQ(dir().processes("dnscrypt-proxy").size(), 1u);
}

struct StopRequestCase {
    const char* label;
    const char* program;
    const char* start;
    const char* startName;
    const char* stop;
    // A request after the stop, and what it must bring.
    const char* next;
    std::vector<std::string> nextReplies;
};

void PrintTo(const StopRequestCase& c, std::ostream* os) {
    *os << c.label;
}

const StopRequestCase stop_request_cases[] = {
    {"dnscrypt_stop",
     "dnscrypt-proxy",
     "dnscrypt start a b",
     "dnscrypt",
     "dnscrypt stop",
     "3,setdns a b",
     {started(3, "setdns"), finished(3, "setdns", 0)}},
    {"stoptarq",
     "openvpn",
     "starttarq a b c",
     "openvpn",
     "stoptarq",
     "3,starttarq a b c",
     {started(3, "openvpn")}},
};

class E2eStopRequest : public DaemonTest, public ::testing::WithParamInterface<StopRequestCase> {};

TEST_P(E2eStopRequest, EndsTheRunningOneWithoutReplyOfItsOwn) {
    const StopRequestCase& c = GetParam();
    dir().setBehaviour(c.program, "wait");
    ASSERT_TRUE(startDaemon());
    WsClient* client = connect();
    ASSERT_NE(client, nullptr);

    EXPECT_EQ(exchange(*client, std::string("1,") + c.start, 1),
              (std::vector<std::string>{started(1, c.startName)}));
    ASSERT_EQ(dir().waitForCalls(c.program, 1).size(), 1u);

    EXPECT_EQ(exchange(*client, std::string("2,") + c.stop, 1),
              (std::vector<std::string>{finished(1, c.startName, 9)}));
    EXPECT_TRUE(client->quiet());
    EXPECT_TRUE(dir().processes(c.program).empty());
    EXPECT_EQ(exchange(*client, c.next, c.nextReplies.size()), c.nextReplies);
}

INSTANTIATE_TEST_SUITE_P(Programs, E2eStopRequest, ::testing::ValuesIn(stop_request_cases),
                         [](const auto& info) { return std::string(info.param.label); });

// A started program holds no socket, pipe or log file of the daemon: after the daemon stops, the
// still running program does not keep the port from the next run.
TEST_F(E2eJobs, AStartedProgramHoldsNothingOfTheDaemon) {
    dir().setBehaviour("openvpn", "wait");
    // The registry keeps the entries of jobs still running at the stop, as it should; the leak
    // check of an address-sanitized build would take them for leaks.
    const char* asan = std::getenv("ASAN_OPTIONS");
    ASSERT_TRUE(
        startDaemon({std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":detect_leaks=0"}));
    WsClient* client = connect();
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(exchange(*client, "1,starttarq a b c", 1),
              (std::vector<std::string>{started(1, "openvpn")}));
    ASSERT_EQ(dir().waitForCalls("openvpn", 1).size(), 1u);
    const auto openvpn = dir().processes("openvpn");
    ASSERT_EQ(openvpn.size(), 1u);

    // Until it waits, the helper may still hold files of its own.
    ASSERT_TRUE(waitUntil(
        [&] {
            return std::filesystem::is_directory(
                dir().file("openvpn.waiting." + std::to_string(openvpn[0])));
        },
        reply_wait));
    const auto descriptors = openDescriptors(openvpn[0]);
    ASSERT_EQ(descriptors.count(0) + descriptors.count(1) + descriptors.count(2), 3u);
    for (const auto& [fd, target] : descriptors)
        EXPECT_LE(fd, 2) << "descriptor " << fd << " -> " << target;

    EXPECT_EQ(daemon().stop(), 0);
    // Jobs outlive the daemon's stop.
    EXPECT_TRUE(processAlive(openvpn[0]));

    ASSERT_TRUE(startDaemon());
    WsClient* next = connect();
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(exchange(*next, "1,setdns a b", 2), quickJob(1, "setdns"));
}

} // namespace
} // namespace TarqSe::E2e
