#include "channel/sessionlist.h"
#include "commands/commandthread.h"
#include "daemon/websocketserver.h"
#include "tests/support/logcapture.h"

#include <boost/asio/io_context.hpp>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace TarqSe::Test {
namespace {

using Daemon::CommandThread;
using Strings = std::vector<std::string>;

// A dispatcher whose ticks the test runs itself: the context is not run, so each onTimer()
// call is exactly one tick.
class DispatcherTest : public ::testing::Test {
protected:
    DispatcherTest() { Daemon::WebSocketServer::useIoContext(&m_ioc); }
    ~DispatcherTest() override { Daemon::WebSocketServer::useIoContext(nullptr); }

    // The records of one tick.
    Strings tick() {
        m_log.clear();
        m_dispatcher.onTimer();
        return m_log.messages();
    }

    LogCapture m_log;
    boost::asio::io_context m_ioc;
    Daemon::SessionList m_list{m_ioc};
    CommandThread m_dispatcher{m_ioc, m_list};
};

TEST_F(DispatcherTest, QueuedLinesAreHandledOnePerTickInOrder) {
    for (const char* line : {"1,alpha", "2,beta", "3,gamma"})
        m_dispatcher.pushCommand(line);
    for (const char* line : {"1,alpha", "2,beta", "3,gamma"})
        EXPECT_EQ(tick(), (Strings{std::string("CommandThread: New command: '") + line + "'",
                                   "CommandThread: Wrong command, skipping"}));
    EXPECT_EQ(tick(), Strings{});
}

TEST_F(DispatcherTest, LineIsParsedBeforeReplyAndRunAfterIt) {
    m_dispatcher.pushCommand("5,starttarq a");
    m_dispatcher.pushReply("4,openvpn::STARTED::status::0");
    EXPECT_EQ(tick(), (Strings{"CommandThread: New command: '5,starttarq a'",
                               "Starttarq: Arguments are missed",
                               "CommandThread: New reply: '4,openvpn::STARTED::status::0'",
                               "SessionList: No active sessions, skipping",
                               "CommandThread: Execute command: 'starttarq'"}));
    // The invalid command started nothing, so nothing answers it.
    EXPECT_EQ(tick(), Strings{});
}

// A line that yields no command is skipped; a command of the table is run even when invalid.
TEST_F(DispatcherTest, RefusedLinesAreSkippedOrRunInvalid) {
    const std::string skipped = "CommandThread: Wrong command, skipping";
    struct Case {
        const char* line;
        Strings after;
    };
    const Case cases[] = {
        {"6,nosuchkeyword a b", {skipped}},
        {"6,setdns", {"Setdns: Arguments are missed", "CommandThread: Execute command: 'setdns'"}},
        {"6,nosuchkeyword", {"Commands: Last messageId is equal current messageId", skipped}},
        {"no comma", {"Commands: Cannot parse request", skipped}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        m_dispatcher.pushCommand(c.line);
        Strings expected{std::string("CommandThread: New command: '") + c.line + "'"};
        expected.insert(expected.end(), c.after.begin(), c.after.end());
        EXPECT_EQ(tick(), expected);
    }
}

TEST_F(DispatcherTest, RepliesLeaveOnePerTickInOrder) {
    m_dispatcher.pushReply("7,dnscrypt::STARTED::status::0");
    CommandThread::pushReplyToQueue("7,dnscrypt::FINISHED::status::3");
    EXPECT_EQ(tick(), (Strings{"CommandThread: New reply: '7,dnscrypt::STARTED::status::0'",
                               "SessionList: No active sessions, skipping"}));
    EXPECT_EQ(tick(), (Strings{"CommandThread: New reply: '7,dnscrypt::FINISHED::status::3'",
                               "SessionList: No active sessions, skipping"}));
    EXPECT_EQ(tick(), Strings{});
}

TEST_F(DispatcherTest, CancelledTickStillHandlesOneOfEachAndStops) {
    m_dispatcher.pushCommand("1,alpha");
    m_dispatcher.pushCommand("2,beta");
    m_dispatcher.pushReply("r1");
    m_dispatcher.pushReply("r2");
    m_dispatcher.cancel();
    EXPECT_EQ(tick(),
              (Strings{"CommandThread: New command: '1,alpha'",
                       "CommandThread: Wrong command, skipping", "CommandThread: New reply: 'r1'",
                       "SessionList: No active sessions, skipping", "CommandThread: Cancelled"}));
    // No further wait was armed: the context has nothing to run.
    m_log.clear();
    m_ioc.run();
    EXPECT_EQ(m_log.messages(), Strings{});
}

TEST(Dispatcher, ReplyBeforeDispatcherExistsIsLost) {
    boost::asio::io_context ioc;
    Daemon::WebSocketServer::useIoContext(&ioc);
    Daemon::SessionList list(ioc);
    CommandThread::pushReplyToQueue("1,openvpn::STARTED::status::0");
    CommandThread dispatcher(ioc, list);
    LogCapture log;
    dispatcher.onTimer();
    EXPECT_EQ(log.messages(), Strings{});
    Daemon::WebSocketServer::useIoContext(nullptr);
}

// The real chain of ticks on an I/O thread: lines queued before the first tick are handled
// in order, and after cancel() the chain ends, so the thread's run() returns.
TEST(Dispatcher, TimerChainRunsUntilCancelled) {
    boost::asio::io_context ioc;
    Daemon::WebSocketServer::useIoContext(&ioc);
    Daemon::SessionList list(ioc);
    CommandThread dispatcher(ioc, list);
    LogCapture log;
    for (const char* line : {"1,alpha", "2,beta", "3,gamma"})
        dispatcher.pushCommand(line);
    std::thread armer(&CommandThread::run, &dispatcher);
    armer.join();
    std::thread ioThread([&ioc] { ioc.run(); });

    ASSERT_TRUE(log.waitFor("CommandThread: New command: '3,gamma'"));
    dispatcher.cancel();
    ioThread.join();

    const Strings records = log.messages();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.front(), "CommandThread: Run");
    EXPECT_EQ(records.back(), "CommandThread: Cancelled");
    long previous = 0;
    for (const char* line : {"1,alpha", "2,beta", "3,gamma"}) {
        const long at = log.indexOf(std::string("CommandThread: New command: '") + line + "'");
        EXPECT_GT(at, previous) << line;
        previous = at;
    }
    EXPECT_EQ(log.count("CommandThread: Cancelled"), 1u);
    Daemon::WebSocketServer::useIoContext(nullptr);
}

} // namespace
} // namespace TarqSe::Test
