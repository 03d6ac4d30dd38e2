#include "registryfixture.h"

#include <csignal>

namespace TarqSe::Test {
namespace {

using Replies = std::vector<std::string>;

bool alive(pid_t pid) {
    return ::kill(pid, 0) == 0 && !hasExited(pid);
}

TEST_F(RegistryTest, TerminateKillsEveryJobOfTheKeywordAndEachReportsNine) {
    startAll();
    const std::string sleeper = writeScript("sleeper.sh", "exec sleep 30");
    const std::string other = writeScript("other.sh", "exec sleep 30");
    ASSERT_TRUE(startJob(1, "dnscrypt", {sleeper, "a"}));
    ASSERT_TRUE(startJob(2, "dnscrypt", {sleeper, "b"}));
    ASSERT_TRUE(startJob(3, "setdns", {other}));
    ASSERT_TRUE(waitForReply(startedReply(3, "setdns")));
    std::vector<pid_t> pids;
    for (const auto& message : m_log.messages()) {
        const std::string prefix =
            "ChildProcess: Start command with arg[0]: '" + sleeper + "', pid: ";
        if (message.rfind(prefix, 0) == 0)
            pids.push_back(static_cast<pid_t>(std::stol(message.substr(prefix.size()))));
    }
    ASSERT_EQ(pids.size(), 2u);
    const auto otherPid = pidOf(other);
    ASSERT_TRUE(otherPid);

    EXPECT_TRUE(ChildProcess::terminateProcessByName("dnscrypt"));
    EXPECT_EQ(m_log.count("ChildProcess: Terminate process by name: 'dnscrypt'"), 1u);
    // Dead on return, and left for the library's reaper to collect.
    for (const pid_t pid : pids)
        EXPECT_TRUE(hasExited(pid) || processGone(pid)) << pid;
    EXPECT_TRUE(alive(*otherPid));

    ASSERT_TRUE(waitForReply(finishedReply(1, "dnscrypt", 9)));
    ASSERT_TRUE(waitForReply(finishedReply(2, "dnscrypt", 9)));
    for (const std::uint64_t id : {1u, 2u})
        EXPECT_EQ(repliesOf(id),
                  (Replies{startedReply(id, "dnscrypt"), finishedReply(id, "dnscrypt", 9)}));
    EXPECT_FALSE(ChildProcess::processExists("dnscrypt"));
    EXPECT_TRUE(ChildProcess::processExists("setdns"));
    for (const pid_t pid : pids)
        EXPECT_TRUE(waitUntil([pid] { return processGone(pid); })) << pid;

    // A keyword without entry: the record, false, nothing else.
    const auto repliesBefore = repliesOf(3);
    EXPECT_FALSE(ChildProcess::terminateProcessByName("openvpn"));
    EXPECT_EQ(m_log.count("ChildProcess: Terminate process by name: 'openvpn'"), 1u);
    EXPECT_TRUE(alive(*otherPid));
    EXPECT_EQ(repliesOf(3), repliesBefore);
}

// Each job is started and dealt with while nothing runs the I/O context, so no exit watcher
// has collected it when the registry looks at it.
TEST_F(RegistryTest, TerminationOutcomes) {
    struct Case {
        const char* script;
        const char* body;
        bool waitForItsEnd; // the job has ended by itself before the termination
        bool collectItHere; // and somebody else took its status
        bool terminate;
        int code;
    };
    const Case cases[] = {
        // Killed before any poll saw it: STARTED first, then 9.
        {"running.sh", "exec sleep 30", false, false, true, 9},
        // Already ended: no signal, its own code.
        {"ended.sh", "exit 3", true, false, true, 3},
        // Its status is lost: the kill finds no process, and the entry still ends with 9.
        {"lost.sh", "exit 3", true, true, true, 9},
        // Lost without a termination: the library has no status to give.
        {"lostalone.sh", "exit 3", true, true, false, -1},
    };
    std::uint64_t id = 0;
    for (const auto& c : cases) {
        const std::string keyword = std::string("job") + std::to_string(++id);
        const std::string script = writeScript(c.script, c.body);
        ASSERT_TRUE(startJob(id, keyword, {script})) << c.script;
        const auto pid = pidOf(script);
        ASSERT_TRUE(pid);
        if (c.waitForItsEnd) {
            ASSERT_TRUE(waitUntil([&] { return hasExited(*pid); })) << c.script;
        }
        if (c.collectItHere) {
            ASSERT_EQ(::waitpid(*pid, nullptr, 0), *pid);
        }
        if (c.terminate) {
            EXPECT_TRUE(ChildProcess::terminateProcessByName(keyword));
            EXPECT_FALSE(alive(*pid)) << c.script;
        }
    }
    startAll();
    id = 0;
    for (const auto& c : cases) {
        const std::string keyword = std::string("job") + std::to_string(++id);
        ASSERT_TRUE(waitForReply(finishedReply(id, keyword, c.code))) << c.script;
        EXPECT_EQ(repliesOf(id),
                  (Replies{startedReply(id, keyword), finishedReply(id, keyword, c.code)}))
            << c.script;
    }

    // The dispatcher keeps ticking and the registry keeps working.
    const std::string next = writeScript("next.sh", "exit 0");
    ASSERT_TRUE(startJob(10, "next", {next}));
    ASSERT_TRUE(waitForReply(finishedReply(10, "next", 0)));
    EXPECT_EQ(repliesOf(10), (Replies{startedReply(10, "next"), finishedReply(10, "next", 0)}));
}

TEST_F(RegistryTest, TerminatingTwiceBeforeAPollGivesOneFinished) {
    const std::string script = writeScript("sleeper.sh", "exec sleep 30");
    ASSERT_TRUE(startJob(1, "dnscrypt", {script}));
    EXPECT_TRUE(ChildProcess::terminateProcessByName("dnscrypt"));
    EXPECT_TRUE(ChildProcess::terminateProcessByName("dnscrypt"));
    ChildProcess::checkProcessList(false);
    ChildProcess::checkProcessList(false);
    EXPECT_FALSE(ChildProcess::processExists("dnscrypt"));

    startAll();
    ASSERT_TRUE(waitForReply(finishedReply(1, "dnscrypt", 9)));
    const auto pid = pidOf(script);
    ASSERT_TRUE(pid);
    ASSERT_TRUE(waitUntil([&] { return processGone(*pid); }));
    EXPECT_EQ(repliesOf(1),
              (Replies{startedReply(1, "dnscrypt"), finishedReply(1, "dnscrypt", 9)}));
}

} // namespace
} // namespace TarqSe::Test
