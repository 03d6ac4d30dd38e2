#include "channel/session.h"
#include "tests/channel/channeltest.h"
#include "tests/support/logcapture.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace TarqSe::Test {
namespace {

using Severity = boost::log::trivial::severity_level;

bool hasSessionError(const LogCapture& log) {
    for (const auto& record : log.records())
        if (record.severity == Severity::error && record.message.rfind("Session: ", 0) == 0)
            return true;
    return false;
}

TEST(Session, HandshakeAnswersWithServerFieldAfterListing) {
    LogCapture log;
    ChannelServer server;
    Client client(server.port());
    ASSERT_FALSE(client.handshake());
    EXPECT_EQ(client.response().result(), http::status::switching_protocols);
    EXPECT_EQ(client.response()[http::field::server], serverField);
    EXPECT_EQ(server.list().size(), 1u);

    ASSERT_TRUE(log.waitFor("Session: On accept"));
    const long accepted = log.indexOf("Listener: Accepted new session");
    const long created = log.indexOf("Session: Created");
    ASSERT_GE(accepted, 0);
    EXPECT_GT(created, accepted);
    EXPECT_GT(log.indexOf("Session: On accept"), created);
    EXPECT_LT(log.indexOf("Listener: Start accepting new connections"), accepted);
}

TEST(Session, PlainHttpRequestGetsLibraryErrorWithServerField) {
    LogCapture log;
    ChannelServer server;
    Client client(server.port());
    http::request<http::string_body> req{http::verb::get, "/", 11};
    req.set(http::field::host, "127.0.0.1");
    const auto res = client.httpExchange(req);
    EXPECT_EQ(res.result(), http::status::bad_request);
    EXPECT_EQ(res[http::field::server], serverField);

    ASSERT_TRUE(
        log.waitFor("Session: Accept: The WebSocket handshake Connection field is missing"));
    EXPECT_LT(log.indexOf("Session: On accept"),
              log.indexOf("Session: Accept: The WebSocket handshake Connection field is missing"));
    EXPECT_TRUE(log.waitFor("SessionList: No active sessions"));
    EXPECT_TRUE(log.waitFor("Session: Deleted"));
    EXPECT_EQ(server.list().size(), 0u);
}

// Web pages must not drive the daemon; other clients are served.
struct OriginCase {
    const char* name;
    std::optional<std::string> origin;
    bool served;
};
void PrintTo(const OriginCase& c, std::ostream* os) {
    *os << c.name;
}

class SessionOrigin : public ::testing::TestWithParam<OriginCase> {};

TEST_P(SessionOrigin, RefusesBrowserPagesOnly) {
    const OriginCase& c = GetParam();
    LogCapture log;
    ChannelServer server;
    Client client(server.port());
    const auto ec = client.handshake(c.origin);
    EXPECT_EQ(client.response()[http::field::server], serverField);

    if (c.served) {
        ASSERT_FALSE(ec) << ec.message();
        EXPECT_EQ(client.response().result(), http::status::switching_protocols);
        server.list().write("1,openvpn::STARTED::status::0");
        const auto reply = client.read();
        ASSERT_FALSE(reply.ec) << reply.ec.message();
        EXPECT_EQ(reply.text, "1,openvpn::STARTED::status::0");
        EXPECT_FALSE(log.contains("SessionList: No active sessions"));
        return;
    }

    EXPECT_EQ(ec, websocket::error::upgrade_declined);
    EXPECT_EQ(client.response().result(), http::status::forbidden);
    ASSERT_TRUE(log.waitFor("Session: Accept: Permission denied"));
    EXPECT_LT(log.indexOf("Session: On accept"), log.indexOf("Session: Accept: Permission denied"));
    EXPECT_TRUE(log.waitFor("SessionList: No active sessions"));
    EXPECT_TRUE(log.waitFor("Session: Deleted"));
    EXPECT_EQ(server.list().size(), 0u);
    server.list().write("1,openvpn::STARTED::status::0");
    EXPECT_TRUE(log.contains("SessionList: No active sessions, skipping"));
}

INSTANTIATE_TEST_SUITE_P(
    Origins, SessionOrigin,
    ::testing::Values(OriginCase{"None", std::nullopt, true},
                      OriginCase{"Null", std::string("null"), false},
                      OriginCase{"Http", std::string("http://example.com"), false},
                      OriginCase{"Https", std::string("https://x"), false},
                      OriginCase{"HttpUpperCase", std::string("HTTP://X"), false},
                      OriginCase{"File", std::string("file://"), true},
                      OriginCase{"Extension", std::string("chrome-extension://abc"), true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Session, RequestReachesDispatcherUnchanged) {
    LogCapture log;
    ChannelServer server(true);
    Client client(server.port());
    ASSERT_FALSE(client.handshake());
    // The line feed stays part of the request, so the keyword is not recognised.
    ASSERT_FALSE(client.send("7,logoff\n"));
    ASSERT_TRUE(log.waitFor("Session: New request: '7,logoff\n'"));

    // One tick, run here, takes the line from the dispatcher's queue.
    server.dispatcher().cancel();
    server.dispatcher().onTimer();
    EXPECT_TRUE(log.contains("CommandThread: New command: '7,logoff\n'"));
    EXPECT_TRUE(log.contains("CommandThread: Cancelled"));
}

TEST(Session, ReplyTypeFollowsLastMessageRead) {
    LogCapture log;
    ChannelServer server;
    Client client(server.port());
    ASSERT_FALSE(client.handshake());

    server.list().write("r0");
    auto reply = client.read();
    ASSERT_FALSE(reply.ec);
    EXPECT_EQ(reply.text, "r0");
    EXPECT_TRUE(reply.isText);
    EXPECT_TRUE(log.contains("Session: Reply 'r0' done"));

    struct Step {
        const char* request;
        bool text;
    };
    const Step steps[] = {{"1,binary", false}, {"2,binary", false}, {"3,text", true}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.request);
        ASSERT_FALSE(client.send(step.request, step.text));
        ASSERT_TRUE(log.waitFor(std::string("Session: New request: '") + step.request + "'"));
        server.list().write(std::string("reply ") + step.request);
        reply = client.read();
        ASSERT_FALSE(reply.ec);
        EXPECT_EQ(reply.text, std::string("reply ") + step.request);
        EXPECT_EQ(reply.isText, step.text);
    }
}

// The three ways a client ends its session.
struct EndCase {
    const char* name;
    std::function<void(Client&)> end;
    std::optional<std::string> record;
};
void PrintTo(const EndCase& c, std::ostream* os) {
    *os << c.name;
}

class SessionEnd : public ::testing::TestWithParam<EndCase> {};

TEST_P(SessionEnd, LeavesListAndIsReleased) {
    const EndCase& c = GetParam();
    LogCapture log;
    ChannelServer server;
    Client client(server.port());
    ASSERT_FALSE(client.handshake());
    c.end(client);

    ASSERT_TRUE(log.waitFor("SessionList: No active sessions"));
    ASSERT_TRUE(log.waitFor("Session: Deleted"));
    EXPECT_EQ(server.list().size(), 0u);
    if (c.record) {
        EXPECT_TRUE(log.contains(*c.record));
    } else {
        EXPECT_FALSE(hasSessionError(log));
    }
    EXPECT_FALSE(log.contains("Session: New request: ''"));
}

INSTANTIATE_TEST_SUITE_P(
    Ends, SessionEnd,
    ::testing::Values(
        EndCase{"EmptyMessage",
                [](Client& client) {
                    ASSERT_FALSE(client.send(""));
                    // The connection is closed once the session is gone.
                    EXPECT_TRUE(client.read().ec);
                },
                std::string("Session: Client closed connection")},
        EndCase{"CloseFrame", [](Client& client) { ASSERT_FALSE(client.close()); }, std::nullopt},
        EndCase{"DroppedConnection", [](Client& client) { client.tcp().close(); },
                std::string("Session: Read: End of file")},
        EndCase{"InvalidUtf8Text",
                [](Client& client) {
                    client.send("7,\xff\xfe");
                    // The session answers with a close frame and waits for the client's.
                    EXPECT_EQ(client.read().ec, websocket::error::closed);
                },
                std::string("Session: Read: The WebSocket frame payload was not valid utf8")},
        EndCase{"MessageOver16MiB",
                [](Client& client) {
                    client.send(std::string(16777217, 'x'), false);
                    EXPECT_TRUE(client.read().ec);
                },
                std::string(
                    "Session: Read: The WebSocket message exceeded the locally configured limit")}),
    [](const auto& info) { return std::string(info.param.name); });

// The upgrade request is read by the session itself, under the handshake's deadline.
TEST(Session, SilentClientTimesOutInHandshake) {
    LogCapture log;
    ChannelServer server;
    Client client(server.port());
    ASSERT_TRUE(log.waitFor("Session: Accept: The socket was closed due to a timeout",
                            std::chrono::seconds(90)));
    EXPECT_LT(log.indexOf("Session: On accept"),
              log.indexOf("Session: Accept: The socket was closed due to a timeout"));
    EXPECT_TRUE(log.waitFor("SessionList: No active sessions"));
    EXPECT_EQ(server.list().size(), 0u);
}

// Far more replies than the ring holds, handed over while the client is not reading: every
// reply is still written whole and in order.
TEST(Session, BurstOfRepliesArrivesInOrderAndIntact) {
    constexpr int count = 25000;
    const auto replyText = [](int i) {
        return std::to_string(i) +
               ",job::FINISHED::status::" + std::string(400, static_cast<char>('a' + i % 26));
    };
    LogCapture log;
    ChannelServer server;
    Client client(server.port());
    ASSERT_FALSE(client.handshake());
    for (int i = 0; i < count; ++i)
        server.list().write(replyText(i));

    for (int i = 0; i < count; ++i) {
        const auto reply = client.read();
        ASSERT_FALSE(reply.ec) << i << ": " << reply.ec.message();
        ASSERT_EQ(reply.text, replyText(i));
    }
    EXPECT_FALSE(hasSessionError(log));
}

TEST(Session, ReplyDuringHandshakeFollowsIt) {
    LogCapture log;
    ChannelServer server;
    Client client(server.port());
    ASSERT_TRUE(waitUntil([&] { return server.list().size() == 1; }));
    server.list().write("early");
    ASSERT_TRUE(log.contains("Session: Reply 'early' done"));

    ASSERT_FALSE(client.handshake());
    const auto reply = client.read();
    ASSERT_FALSE(reply.ec);
    EXPECT_EQ(reply.text, "early");
}

TEST(Session, ReplyDuringFailedHandshakeIsDropped) {
    LogCapture log;
    ChannelServer server;
    Client client(server.port());
    ASSERT_TRUE(waitUntil([&] { return server.list().size() == 1; }));
    server.list().write("early");

    EXPECT_EQ(client.handshake(std::string("null")), websocket::error::upgrade_declined);
    ASSERT_TRUE(log.waitFor("Session: Deleted"));
    EXPECT_FALSE(log.contains("Session: Write: "));
}

} // namespace
} // namespace TarqSe::Test
