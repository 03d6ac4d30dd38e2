#include "registryfixture.h"

#include <csignal>

namespace TarqSe::Test {
namespace {

using Replies = std::vector<std::string>;

TEST_F(RegistryTest, FinishedCarriesExitStatusOrEndingSignal) {
    struct Case {
        const char* script;
        const char* body;
        int signalFromOutside; // sent by the test once the job runs; 0: none
        int code;
    };
    const Case cases[] = {
        {"exit0.sh", "exit 0", 0, 0},
        {"exit3.sh", "exit 3", 0, 3},
        {"exit255.sh", "exit 255", 0, 255},
        {"sigterm.sh", "kill -TERM $$", 0, 15},
        {"sigsegv.sh", "ulimit -c 0; kill -SEGV $$", 0, 11},
        {"sigkill.sh", "exec sleep 30", SIGKILL, 9},
    };
    startAll();
    std::uint64_t id = 100;
    for (const auto& c : cases) {
        const std::string script = writeScript(c.script, c.body);
        ASSERT_TRUE(startJob(++id, "job", {script})) << c.script;
        if (c.signalFromOutside) {
            ASSERT_TRUE(waitForReply(startedReply(id, "job")));
            const auto pid = pidOf(script);
            ASSERT_TRUE(pid);
            ASSERT_EQ(::kill(*pid, c.signalFromOutside), 0);
        }
    }
    id = 100;
    for (const auto& c : cases) {
        ++id;
        ASSERT_TRUE(waitForReply(finishedReply(id, "job", c.code))) << c.script;
        EXPECT_EQ(repliesOf(id),
                  (Replies{startedReply(id, "job"), finishedReply(id, "job", c.code)}))
            << c.script;
    }
}

TEST_F(RegistryTest, JobEndedBeforeItsFirstPollGetsStartedThenFinishedFromOnePoll) {
    // Nothing runs the I/O context yet: no exit watcher and no tick can poll.
    const std::string script = writeScript("quick.sh", "exit 7");
    ASSERT_TRUE(startJob(1, "job", {script}));
    const auto pid = pidOf(script);
    ASSERT_TRUE(pid);
    ASSERT_TRUE(waitUntil([&] { return hasExited(*pid); }));

    // The exit watcher's poll is now the first to see the entry, and it removes it.
    startIoThreads();
    ASSERT_TRUE(waitUntil([] { return !ChildProcess::processExists("job"); }));
    EXPECT_EQ(m_log.count("ChildProcess: No running processes"), 3u);

    startTicks();
    ASSERT_TRUE(waitForReply(finishedReply(1, "job", 7)));
    EXPECT_EQ(repliesOf(1), (Replies{startedReply(1, "job"), finishedReply(1, "job", 7)}));
}

TEST_F(RegistryTest, PollThatRemovesAnEntryGoesOnWithTheEntryBehindIt) {
    startIoThreads();
    const std::string first = writeScript("first.sh", "while [ ! -e \"$1\" ]; do sleep 0.01; done");
    const std::string second = writeScript("second.sh", "exec sleep 30");
    const std::string go = m_dir + "/go-first";
    ASSERT_TRUE(startJob(1, "first", {first, go}));
    // The second job's spawn polls and reports the first one as running.
    ASSERT_TRUE(startJob(2, "second", {second}));

    // The first job's exit watcher polls: FINISHED for it, then STARTED for the second job.
    std::ofstream(go).put('x');
    ASSERT_TRUE(waitUntil([] { return !ChildProcess::processExists("first"); }));
    Daemon::CommandThread::pushReplyToQueue("marker");

    startTicks();
    ASSERT_TRUE(waitForReply("marker"));
    std::vector<std::string> sent;
    for (const auto& message : m_log.messages())
        if (message.rfind("CommandThread: New reply: '", 0) == 0)
            sent.push_back(message);
    EXPECT_EQ(sent, (Replies{replyRecord(startedReply(1, "first")),
                             replyRecord(finishedReply(1, "first", 0)),
                             replyRecord(startedReply(2, "second")), replyRecord("marker")}));
}

TEST_F(RegistryTest, LongJobGetsStartedOnceThenFinished) {
    startAll();
    const std::string script =
        writeScript("long.sh", "while [ ! -e \"$1\" ]; do sleep 0.01; done; exit 4");
    const std::string go = m_dir + "/go";
    ASSERT_TRUE(startJob(5, "job", {script, go}));
    ASSERT_TRUE(waitForReply(startedReply(5, "job")));
    // The tick that sent it is over once the session list has dropped it.
    ASSERT_TRUE(waitUntil([&] {
        const long sent = m_log.indexOf(replyRecord(startedReply(5, "job")));
        return m_log.indexOf("SessionList: No active sessions, skipping", sent + 1) >= 0;
    }));
    const auto pid = pidOf(script);
    ASSERT_TRUE(pid);
    EXPECT_FALSE(hasExited(*pid));

    // Many ticks pass while it runs.
    const auto recordsBefore = m_log.messages().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(ChildProcess::processExists("job"));
    EXPECT_EQ(m_log.messages().size(), recordsBefore); // no further reply, no record

    std::ofstream(go).put('x');
    ASSERT_TRUE(waitForReply(finishedReply(5, "job", 4)));
    EXPECT_EQ(repliesOf(5), (Replies{startedReply(5, "job"), finishedReply(5, "job", 4)}));
}

TEST_F(RegistryTest, FirstSpawnOfAnEmptyRegistryPollsTwiceBeforeItsStartRecord) {
    const std::string script = writeScript("long.sh", "exec sleep 30");
    ASSERT_TRUE(startJob(1, "job", {script}));
    const auto pid = pidOf(script);
    ASSERT_TRUE(pid);
    std::vector<std::string> registry;
    for (const auto& message : m_log.messages())
        if (message.rfind("ChildProcess: ", 0) == 0)
            registry.push_back(message);
    EXPECT_EQ(registry,
              (Replies{"ChildProcess: No running processes", "ChildProcess: No running processes",
                       "ChildProcess: Start command with arg[0]: '" + script +
                           "', pid: " + std::to_string(*pid)}));

    // A poll that must not log an empty registry writes nothing at all.
    const auto before = m_log.messages().size();
    ChildProcess::checkProcessList(false);
    EXPECT_EQ(m_log.messages().size(), before);
    ChildProcess::terminateProcessByName("job");
    ChildProcess::checkProcessList(false);
    EXPECT_EQ(m_log.messages().size(), before + 1); // only the termination's record
}

TEST_F(RegistryTest, ProcessExistsByKeywordUntilTheEndIsReported) {
    const std::string script = writeScript("vpn.sh", "exit 0");
    ASSERT_TRUE(startJob(9, "starttarq", {script, "--config", "x"}, "openvpn"));
    EXPECT_TRUE(ChildProcess::processExists("starttarq"));
    EXPECT_FALSE(ChildProcess::processExists("openvpn"));
    EXPECT_FALSE(ChildProcess::processExists("starttar"));

    // Ended, but no poll has seen it yet.
    const auto pid = pidOf(script);
    ASSERT_TRUE(pid);
    ASSERT_TRUE(waitUntil([&] { return hasExited(*pid); }));
    EXPECT_TRUE(ChildProcess::processExists("starttarq"));

    startAll();
    ASSERT_TRUE(waitForReply(finishedReply(9, "openvpn", 0)));
    EXPECT_FALSE(ChildProcess::processExists("starttarq"));
    EXPECT_EQ(repliesOf(9), (Replies{startedReply(9, "openvpn"), finishedReply(9, "openvpn", 0)}));
}

TEST_F(RegistryTest, VectorThatNamesNoProgramStartsNothing) {
    const std::vector<std::vector<std::string>> vectors = {{}, {""}, {"", "arg"}};
    for (const auto& args : vectors) {
        EXPECT_FALSE(startJob(1, "job", args));
        EXPECT_FALSE(ChildProcess::runChildProcessDetached(args));
    }
    EXPECT_FALSE(ChildProcess::processExists("job"));
    for (const auto& message : m_log.messages())
        EXPECT_NE(message.rfind("ChildProcess: ", 0), 0u) << message;
    EXPECT_TRUE(childrenOfThisProcess().empty());
}

} // namespace
} // namespace TarqSe::Test
