#include "channel/session.h"
#include "tests/channel/channeltest.h"
#include "tests/support/logcapture.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

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
                      OriginCase{"ChromeExtension", std::string("chrome-extension://abc"), false},
                      OriginCase{"MozExtension", std::string("moz-extension://0f1e-2d"), false},
                      OriginCase{"SafariExtension", std::string("Safari-Web-Extension://ABC"),
                                 false},
                      OriginCase{"OwnScheme", std::string("app://tarq-client"), true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Session, RequestReachesDispatcherUnchanged) {
    LogCapture log;
    ChannelServer server(true);
    Client client(server.port());
    ASSERT_FALSE(client.handshake());
    server.dispatcher().run();
    // The line feed stays part of the request, so the keyword is not recognised; the records
    // show it escaped.
    ASSERT_FALSE(client.send("7,logoff\n"));

    // A tick takes the line from the dispatcher's queue as it was read.
    ASSERT_TRUE(log.waitFor("CommandThread: Wrong command, skipping"));
    const long read = log.indexOf("Session: New request: '7,logoff\\n'");
    const long taken = log.indexOf("CommandThread: New command: '7,logoff\\n'");
    ASSERT_GE(read, 0);
    EXPECT_GT(taken, read);
    EXPECT_EQ(log.indexOf("CommandThread: Wrong command, skipping"), taken + 1);
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

// As many replies as the ring holds, handed over while the client is not reading, all wait in
// the session; they arrive whole and in order, and so do the next ones, which take the ring's
// slots again.
TEST(Session, FullQueueOfRepliesArrivesInOrderAndIntact) {
    constexpr int count = static_cast<int>(Daemon::SessionList::ringSize);
    const auto replyText = [](int i) {
        return std::to_string(i) +
               ",job::FINISHED::status::" + std::string(400, static_cast<char>('a' + i % 26));
    };
    LogCapture log;
    ChannelServer server;
    Client client(server.port());
    ASSERT_FALSE(client.handshake());
    for (const auto& [first, last] : {std::pair{0, count}, std::pair{count, count + count / 2}}) {
        for (int i = first; i < last; ++i)
            server.list().write(replyText(i));
        for (int i = first; i < last; ++i) {
            const auto reply = client.read();
            ASSERT_FALSE(reply.ec) << i << ": " << reply.ec.message();
            ASSERT_EQ(reply.text, replyText(i));
        }
    }
    EXPECT_FALSE(hasSessionError(log));
}

// A client that never reads: its first reply never completes, and the queue stops growing at
// the ring's size; each reply beyond it is dropped with a record, and so is what still waits
// when the session ends.
TEST(Session, QueueOfAClientThatNeverReadsIsBounded) {
    constexpr std::size_t limit = Daemon::SessionList::ringSize;
    LogCapture log;
    ChannelServer server;
    Client client(server.port(), 4096);
    ASSERT_FALSE(client.handshake());

    // Far more than the socket buffers on both sides can take.
    server.list().write(std::string(8 << 20, 'x'));
    for (std::size_t i = 1; i <= limit + 1; ++i)
        server.list().write("r" + std::to_string(i));

    const std::string waiting = " dropped: " + std::to_string(limit) + " replies are waiting";
    ASSERT_TRUE(log.waitFor("Session: Reply 'r" + std::to_string(limit + 1) + "'" + waiting));
    std::vector<std::string> dropped;
    for (const auto& record : log.records())
        if (record.message.find(waiting) != std::string::npos) {
            EXPECT_EQ(record.severity, Severity::error);
            dropped.push_back(record.message);
        }
    EXPECT_EQ(dropped, (std::vector<std::string>{
                           "Session: Reply 'r" + std::to_string(limit) + "'" + waiting,
                           "Session: Reply 'r" + std::to_string(limit + 1) + "'" + waiting}));

    // The writes fail once the connection is gone; what still waits then is lost in one record.
    client.tcp().close();
    ASSERT_TRUE(log.waitFor("Session: Deleted"));
    const std::string ended = " replies dropped: the session has ended";
    std::size_t endRecords = 0;
    for (const auto& message : log.messages())
        if (message.size() > ended.size() &&
            message.compare(message.size() - ended.size(), ended.size(), ended) == 0)
            ++endRecords;
    EXPECT_EQ(endRecords, 1u);
}

// Nagle's algorithm would hold a reply back until the client acknowledged the one before.
TEST(Session, AcceptedSocketSendsWithoutDelay) {
    ChannelServer server;
    Client client(server.port());
    ASSERT_FALSE(client.handshake());
    const auto clientPort = client.tcp().socket().local_endpoint().port();

    // The daemon's end of this connection is a descriptor of this very process.
    std::optional<int> noDelay;
    for (int fd = 0; fd < 1024 && !noDelay; ++fd) {
        sockaddr_in local{}, peer{};
        socklen_t length = sizeof local;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
            local.sin_family != AF_INET || ntohs(local.sin_port) != server.port())
            continue;
        length = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
            ntohs(peer.sin_port) != clientPort)
            continue;
        int value = 0;
        length = sizeof value;
        ASSERT_EQ(::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &length), 0);
        noDelay = value;
    }
    ASSERT_TRUE(noDelay) << "the daemon's socket was not found";
    EXPECT_NE(*noDelay, 0);
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
    EXPECT_TRUE(log.contains("Session: Reply 'early' dropped: the session has ended"));
}

} // namespace
} // namespace TarqSe::Test
