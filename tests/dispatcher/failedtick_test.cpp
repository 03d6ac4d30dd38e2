#include "commands/childprocess.h"
#include "commands/commandthread.h"
#include "daemon/platform.h"
#include "daemon/websocketserver.h"
#include "tests/channel/channeltest.h"
#include "tests/support/childsignals.h"
#include "tests/support/logcapture.h"

#include <boost/log/core.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <new>
#include <ostream>
#include <string>

namespace TarqSe::Test {
namespace {

// Throws from inside the log call that writes the given record, once: the way a tick's work
// fails when memory runs out. Without the daemon's logging set-up the logging core lets it
// through to the caller.
class ThrowOnRecord {
public:
    ThrowOnRecord(std::string message, std::function<void()> raise)
        : m_backend(boost::make_shared<Backend>(std::move(message), std::move(raise))),
          m_sink(boost::make_shared<Sink>(m_backend)) {
        boost::log::core::get()->add_sink(m_sink);
    }
    ~ThrowOnRecord() { boost::log::core::get()->remove_sink(m_sink); }
    ThrowOnRecord(const ThrowOnRecord&) = delete;
    ThrowOnRecord& operator=(const ThrowOnRecord&) = delete;

private:
    class Backend
        : public boost::log::sinks::basic_sink_backend<boost::log::sinks::concurrent_feeding> {
    public:
        Backend(std::string message, std::function<void()> raise)
            : m_message(std::move(message)), m_raise(std::move(raise)) {}
        void consume(const boost::log::record_view& rec) {
            const auto message = boost::log::extract<std::string>("Message", rec);
            if (message && *message == m_message && !m_raised.exchange(true))
                m_raise();
        }

    private:
        const std::string m_message;
        const std::function<void()> m_raise;
        std::atomic<bool> m_raised{false};
    };
    using Sink = boost::log::sinks::synchronous_sink<Backend>;

    boost::shared_ptr<Backend> m_backend;
    boost::shared_ptr<Sink> m_sink;
};

struct FailureCase {
    const char* name;
    std::string throwingRecord;
    bool withReply;      // a reply waits beside the request
    bool ofUnknownType;  // throws an int rather than std::bad_alloc
    std::string failure; // the dispatcher's record of it
};

const std::string firstRequest = "1,setdns 1.1.1.1 9.9.9.9";

const FailureCase failureCases[] = {
    {"WhileTakingTheRequest", "CommandThread: New command: '" + firstRequest + "'", false, false,
     "CommandThread: Tick failed: 'std::bad_alloc'; request '" + firstRequest + "' dropped"},
    // The command was built: the tick deletes it (the leak check of the sanitized build).
    {"WhileRunningTheCommand", "CommandThread: Execute command: 'setdns'", false, true,
     "CommandThread: Tick failed: exception of unknown type; request '" + firstRequest +
         "' dropped"},
    {"WhileHandingOverTheReply", "CommandThread: New reply: 'r1'", true, false,
     "CommandThread: Tick failed: 'std::bad_alloc'; request '" + firstRequest +
         "' dropped; reply 'r1' dropped"},
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class FailedTick : public ::testing::TestWithParam<FailureCase> {};

// A tick whose work throws loses what it held, says so, and arms the next tick: a later
// request is answered. The program directory of this test holds the fixture helper as
// setdns.sh.
TEST_P(FailedTick, IsReportedAndTheNextRequestIsAnswered) {
    const FailureCase& c = GetParam();
    LogCapture log;
    // It throws once only, and goes after the I/O threads: a sink must outlive its records.
    ThrowOnRecord raise(c.throwingRecord, [&c] {
        if (c.ofUnknownType)
            throw 42;
        throw std::bad_alloc();
    });
    ChannelServer server(true);
    SpareChildSignals spareChildSignals(server.context());
    Daemon::WebSocketServer::useIoContext(&server.context());
    Client client(server.port());
    ASSERT_FALSE(client.handshake());

    if (c.withReply)
        server.dispatcher().pushReply("r1");
    server.dispatcher().pushCommand(firstRequest);
    server.dispatcher().run();
    ASSERT_TRUE(log.waitFor(c.failure));
    const auto failure = log.records()[log.indexOf(c.failure)];
    EXPECT_EQ(failure.severity, boost::log::trivial::error);

    ASSERT_FALSE(client.send("2,setdns 9.9.9.9 1.1.1.1"));
    EXPECT_EQ(client.read().text, "2,setdns::STARTED::status::0");
    EXPECT_EQ(client.read().text, "2,setdns::FINISHED::status::0");
    // Nothing else came of the failed tick's request: one start only, the later one's.
    std::size_t starts = 0;
    for (const auto& message : log.messages())
        starts += message.rfind("Setdns: Start command with args: ", 0) == 0 ? 1 : 0;
    EXPECT_EQ(starts, 1u);

    ASSERT_TRUE(waitUntil([] { return !Daemon::ChildProcess::processExists("setdns"); }));
    server.stop();
    Daemon::WebSocketServer::useIoContext(nullptr);
    std::error_code ec;
    std::filesystem::remove(Daemon::Platform::programLocationDir() + "/setdns.sh.calls", ec);
}

INSTANTIATE_TEST_SUITE_P(Cases, FailedTick, ::testing::ValuesIn(failureCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace TarqSe::Test
