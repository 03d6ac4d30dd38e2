#include "channel/session.h"
#include "channel/sessionlist.h"
#include "tests/channel/channeltest.h"
#include "tests/support/logcapture.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace TarqSe::Test {
namespace {

using Severity = boost::log::trivial::severity_level;

// Sessions on real loopback connections whose I/O context never runs: they stay in their
// handshake, and replies handed to them wait there.
class SessionListTest : public ::testing::Test {
protected:
    std::shared_ptr<Daemon::Session> makeSession() {
        tcp::socket client(m_ioc);
        client.connect(m_acceptor.local_endpoint());
        m_clients.push_back(std::move(client));
        return std::make_shared<Daemon::Session>(m_acceptor.accept(net::make_strand(m_ioc)),
                                                 m_list);
    }

    LogCapture m_log;
    net::io_context m_ioc;
    tcp::acceptor m_acceptor{m_ioc, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0)};
    std::vector<tcp::socket> m_clients;
    Daemon::SessionList m_list{m_ioc};
};

TEST_F(SessionListTest, ReplyWithoutSessionIsDroppedWithError) {
    m_list.write("1,openvpn::STARTED::status::0");
    const auto records = m_log.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, "SessionList: No active sessions, skipping");
    EXPECT_EQ(records[0].severity, Severity::error);
    EXPECT_EQ(m_list.messageIndex(), 0u);
}

TEST_F(SessionListTest, ClosingUnlistedSessionChangesNothing) {
    auto listed = makeSession();
    auto unlisted = makeSession();
    m_list.add(listed);
    m_log.clear();

    m_list.closed(unlisted.get());
    EXPECT_EQ(m_list.size(), 1u);
    EXPECT_TRUE(m_log.records().empty());
}

TEST_F(SessionListTest, ClosingLastSessionIsRecordedEachTime) {
    auto session = makeSession();
    m_list.add(session);
    m_list.closed(session.get());
    EXPECT_EQ(m_list.size(), 0u);
    EXPECT_EQ(m_log.count("SessionList: No active sessions"), 1u);

    m_list.closed(session.get());
    EXPECT_EQ(m_log.count("SessionList: No active sessions"), 2u);
}

TEST_F(SessionListTest, RingIndexWrapsAfterTenThousandReplies) {
    auto session = makeSession();
    m_list.add(session);
    for (std::size_t i = 0; i < Daemon::SessionList::ringSize; ++i) {
        m_list.write(std::to_string(i));
        ASSERT_EQ(m_list.messageIndex(), (i + 1) % Daemon::SessionList::ringSize);
    }
    m_list.write("next");
    EXPECT_EQ(m_list.messageIndex(), 1u);
    EXPECT_TRUE(m_log.contains("Session: Reply 'next' done"));
}

// Replies go to the earliest-accepted session still listed, over real connections.
TEST(SessionListDelivery, RepliesGoToOldestSessionThenToNext) {
    LogCapture log;
    ChannelServer server;
    Client first(server.port());
    ASSERT_FALSE(first.handshake());
    Client second(server.port());
    ASSERT_FALSE(second.handshake());
    ASSERT_EQ(server.list().size(), 2u);

    // A request from the second session does not change where replies go.
    ASSERT_FALSE(second.send("3,setdns a b"));
    ASSERT_TRUE(log.waitFor("Session: New request: '3,setdns a b'"));
    server.list().write("3,setdns::STARTED::status::0");
    auto reply = first.read();
    ASSERT_FALSE(reply.ec);
    EXPECT_EQ(reply.text, "3,setdns::STARTED::status::0");

    ASSERT_FALSE(first.close());
    ASSERT_TRUE(waitUntil([&] { return server.list().size() == 1; }));
    EXPECT_FALSE(log.contains("SessionList: No active sessions"));
    server.list().write("3,setdns::FINISHED::status::0");
    // The first message the second session ever gets.
    reply = second.read();
    ASSERT_FALSE(reply.ec);
    EXPECT_EQ(reply.text, "3,setdns::FINISHED::status::0");
}

} // namespace
} // namespace TarqSe::Test
