#include "channel/listener.h"
#include "channel/sessionlist.h"
#include "channel/websocket.h"
#include "tests/channel/channeltest.h"
#include "tests/support/logcapture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <memory>

namespace TarqSe::Test {
namespace {

using Severity = boost::log::trivial::severity_level;

tcp::endpoint loopback(unsigned short port) {
    return tcp::endpoint(net::ip::make_address("127.0.0.1"), port);
}

// Lowers the descriptor limit so that the next descriptor cannot be created.
class DescriptorLimit {
public:
    DescriptorLimit() {
        getrlimit(RLIMIT_NOFILE, &m_saved);
        const int next = ::open("/dev/null", O_RDONLY);
        ::close(next);
        rlimit tight = m_saved;
        tight.rlim_cur = static_cast<rlim_t>(next);
        setrlimit(RLIMIT_NOFILE, &tight);
    }
    ~DescriptorLimit() { restore(); }
    void restore() { setrlimit(RLIMIT_NOFILE, &m_saved); }

private:
    rlimit m_saved{};
};

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

TEST(Listener, FailedAcceptIsRetriedAtOnce) {
    LogCapture log;
    {
        net::io_context ioc;
        Daemon::SessionList list(ioc);
        warmUp(ioc, list, log);
    }
    ChannelServer server;
    Client client(server.port());
    ASSERT_TRUE(log.waitFor("Session: Created"));

    // The next connection waits in the backlog while the accept cannot get a descriptor.
    net::io_context clientContext;
    tcp::socket second(clientContext);
    second.open(tcp::v4());
    DescriptorLimit limit;
    second.connect(loopback(server.port()));
    ASSERT_TRUE(log.waitFor("Listener: Accept: Too many open files"));
    limit.restore();

    ASSERT_TRUE(waitUntil([&] { return log.count("Session: Created") == 2; }));
    const long failed = log.indexOf("Listener: Accept: Too many open files");
    EXPECT_EQ(log.messages()[failed - 1], "Listener: Accepted new session");
}

} // namespace
} // namespace TarqSe::Test
