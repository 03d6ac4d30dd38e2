#include "channel/listener.h"
#include "channel/sessionlist.h"
#include "channel/websocket.h"
#include "tests/channel/channeltest.h"
#include "tests/support/descriptorlimit.h"
#include "tests/support/logcapture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

namespace TarqSe::Test {
namespace {

using Severity = boost::log::trivial::severity_level;

tcp::endpoint loopback(unsigned short port) {
    return tcp::endpoint(net::ip::make_address("127.0.0.1"), port);
}

TEST(Listener, PortInUseFailsBind) {
    LogCapture log;
    net::io_context ioc;
    tcp::acceptor taken(ioc, loopback(0));
    Daemon::SessionList list(ioc);
    auto listener = std::make_shared<Daemon::Listener>(ioc, taken.local_endpoint(), list);
    EXPECT_FALSE(listener->isValid());
    const auto records = log.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, "Listener: Bind: Address already in use");
    EXPECT_EQ(records[0].severity, Severity::error);
}

// Under a descriptor limit only the socket itself may need a descriptor: the context's reactor
// and the sanitizers' first-time checks, which need descriptors too, are done before it.
void warmUp(net::io_context& ioc, Daemon::SessionList& list, LogCapture& log) {
    tcp::acceptor taken(ioc, loopback(0));
    std::make_shared<Daemon::Listener>(ioc, taken.local_endpoint(), list);
    Daemon::Websocket::beastErrorMsg(
        "Listener", make_error_code(boost::system::errc::too_many_files_open), "Accept");
    log.clear();
}

TEST(Listener, FailedOpenLeavesNothingToAccept) {
    LogCapture log;
    net::io_context ioc;
    Daemon::SessionList list(ioc);
    const auto endpoint = loopback(freePort());
    warmUp(ioc, list, log);
    std::shared_ptr<Daemon::Listener> listener;
    {
        DescriptorLimit limit;
        listener = std::make_shared<Daemon::Listener>(ioc, endpoint, list);
    }
    EXPECT_FALSE(listener->isValid());
    listener->run();
    EXPECT_EQ(log.messages(), (std::vector<std::string>{"Listener: Open: Too many open files",
                                                        "Listener: Acceptor is not open"}));
}

// Without a descriptor the accept would fail again at once: it pauses instead, and accepting
// resumes by itself once descriptors are free.
TEST(Listener, LastingAcceptFailureBacksOff) {
    const std::string failed = "Listener: Accept: Too many open files";
    LogCapture log;
    {
        net::io_context ioc;
        Daemon::SessionList list(ioc);
        warmUp(ioc, list, log);
    }
    ChannelServer server;
    Client client(server.port());
    ASSERT_FALSE(client.handshake());
    // Once before the limit, for the sanitizers' first-time checks of the types involved: a
    // request read (the session starts its first read after the client's handshake is done,
    // so only a request that it has read shows that read begun) and a write completed (a
    // reply reaches the client before its write completes, but the one behind it leaves only
    // after that).
    ASSERT_FALSE(client.send("0,warm-up"));
    ASSERT_TRUE(log.waitFor("Session: New request: '0,warm-up'"));
    server.list().write("0,setdns::STARTED::status::0");
    server.list().write("0,setdns::FINISHED::status::0");
    EXPECT_EQ(client.read().text, "0,setdns::STARTED::status::0");
    EXPECT_EQ(client.read().text, "0,setdns::FINISHED::status::0");

    // The next connection waits in the backlog while the accept cannot get a descriptor.
    net::io_context clientContext;
    tcp::socket second(clientContext);
    second.open(tcp::v4());
    DescriptorLimit limit;
    second.connect(loopback(server.port()));
    ASSERT_TRUE(log.waitFor(failed));
    // The session already open is served meanwhile.
    server.list().write("1,setdns::STARTED::status::0");
    EXPECT_EQ(client.read().text, "1,setdns::STARTED::status::0");
    // Retried at once, this would be tens of thousands of records in these two seconds.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const std::size_t failures = log.count(failed);
    limit.restore();
    EXPECT_LE(failures, 30u);

    ASSERT_TRUE(waitUntil([&] { return log.count("Session: Created") == 2; }));
    const auto messages = log.messages();
    const long first = log.indexOf(failed);
    EXPECT_EQ(messages[first - 1], "Listener: Accepted new session");
    for (const auto& record : log.records())
        if (record.message == failed) {
            EXPECT_EQ(record.severity, Severity::error);
        }
}

} // namespace
} // namespace TarqSe::Test
