// The WebSocket side: who gets the replies, message types, the end of a session, the handshake.

#include "tests/e2e/e2e_fixture.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/version.hpp>

#include <ostream>
#include <thread>
#include <vector>

namespace TarqSe::E2e {
namespace {

namespace http = boost::beast::http;
namespace net = boost::asio;

const std::string server_field = BOOST_BEAST_VERSION_STRING " websocket-server-async";

using E2eSessions = DaemonTest;

TEST_F(E2eSessions, RepliesGoToTheOldestSessionThenToTheNext) {
    ASSERT_TRUE(startDaemon());
    WsClient* first = connect();
    ASSERT_NE(first, nullptr);
    WsClient* second = connect();
    ASSERT_NE(second, nullptr);

    // The request of the second session is answered to the first.
    ASSERT_TRUE(second->send("1,setdns a b"));
    EXPECT_EQ(first->read(2), quickJob(1, "setdns"));
    EXPECT_TRUE(second->quiet());

    // The client's close is done before the daemon has taken the session off its list; the
    // session is gone only after that.
    const long from = static_cast<long>(daemon().records().size());
    ASSERT_TRUE(first->close());
    ASSERT_TRUE(daemon().waitForRecord("Session: Deleted", false, reply_wait, from));
    EXPECT_EQ(exchange(*second, "2,setdns a b", 2), quickJob(2, "setdns"));
}

TEST_F(E2eSessions, RepliesTakeTheTypeOfTheLastMessageReceived) {
    ASSERT_TRUE(startDaemon());
    WsClient* client = connect();
    ASSERT_NE(client, nullptr);

    const struct {
        bool binary;
        const char* request;
        std::uint64_t id;
    } steps[] = {{true, "1,setdns a b", 1}, {false, "2,setdns a b", 2}, {true, "3,setdns a b", 3}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.request);
        ASSERT_TRUE(client->send(step.request, step.binary));
        for (const auto& expected : quickJob(step.id, "setdns")) {
            const auto reply = client->next();
            ASSERT_TRUE(reply);
            EXPECT_EQ(reply->text, expected);
            EXPECT_EQ(reply->binary, step.binary);
        }
    }
}

TEST_F(E2eSessions, AnEmptyMessageEndsTheSession) {
    ASSERT_TRUE(startDaemon());
    WsClient* leaving = connect();
    ASSERT_NE(leaving, nullptr);
    WsClient* staying = connect();
    ASSERT_NE(staying, nullptr);

    ASSERT_TRUE(leaving->send(""));
    EXPECT_TRUE(hasRecord("Session: Client closed connection"));
    EXPECT_TRUE(leaving->waitEnded()) << "the daemon keeps the connection open";

    // The oldest session is gone, so the replies reach the other one.
    EXPECT_EQ(exchange(*staying, "1,setdns a b", 2), quickJob(1, "setdns"));
}

// Connections that cannot be accepted for want of a descriptor stay in the backlog, where each
// accept fails at once: the listener must pause between tries, serve the open sessions meanwhile
// and resume by itself.
TEST_F(E2eSessions, AcceptingPausesWhileNoDescriptorIsFreeAndResumesAfter) {
    ASSERT_TRUE(startDaemon());
    // The oldest session throughout, so that the held connections, once accepted, get no reply.
    WsClient* first = connect();
    ASSERT_NE(first, nullptr);
    // Also run once with descriptors to spare: UBSan's vptr check needs a pipe for each type it
    // meets first, and would stop the sanitized daemon at the squeezed start below otherwise.
    EXPECT_EQ(exchange(*first, "1,setdns a b", 2), quickJob(1, "setdns"));

    const char* const acceptFailed = "Listener: Accept: Too many open files";
    net::io_context ioc;
    std::vector<net::ip::tcp::socket> held;
    {
        DescriptorSqueeze squeeze(daemon().pid());
        ASSERT_TRUE(squeeze.engaged()) << "cannot take the daemon's free descriptors";
        const long from = static_cast<long>(daemon().records().size());
        for (int i = 0; i < 3; ++i) {
            held.emplace_back(ioc);
            boost::system::error_code ec;
            held.back().connect({net::ip::make_address_v4("127.0.0.1"), daemon_port}, ec);
            ASSERT_FALSE(ec) << ec.message();
        }
        EXPECT_TRUE(daemon().waitForRecord(acceptFailed, false, reply_wait, from));
        std::this_thread::sleep_for(2s);

        // The open session is read and its request run; only the start lacks a descriptor.
        ASSERT_TRUE(first->send("2,setdns a b"));
        EXPECT_TRUE(daemon().waitForRecord("ChildProcess: Cannot start '" +
                                               dir().file("setdns.sh") + "': Too many open files",
                                           false, reply_wait, from));
        EXPECT_TRUE(first->quiet());

        // A listener that retries at once writes tens of thousands of these a second.
        const auto records = daemon().records();
        long failures = 0;
        for (long i = from; i < static_cast<long>(records.size()); ++i) {
            if (records[i].message != acceptFailed)
                continue;
            ++failures;
            EXPECT_EQ(records[i].severity, "error");
        }
        EXPECT_GE(failures, 1);
        EXPECT_LE(failures, 50);
    }

    // Behind the held connections in the backlog, a new client is accepted once the pause ends.
    WsClient& later = newClient();
    ASSERT_TRUE(later.connect()) << later.handshakeError().message();
    ASSERT_TRUE(later.send("3,setdns a b"));
    EXPECT_EQ(first->read(2), quickJob(3, "setdns"));
}

TEST_F(E2eSessions, TheHandshakeResponseNamesTheServer) {
    ASSERT_TRUE(startDaemon());
    WsClient* client = connect();
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->response()[http::field::server], server_field);
}

struct OriginCase {
    const char* label;
    const char* origin;
    bool refused;
};

void PrintTo(const OriginCase& c, std::ostream* os) {
    *os << c.label;
}

const OriginCase origin_cases[] = {
    {"no_origin", "", false},
    {"http_page", "http://evil.example", true},
    {"https_page", "https://evil.example", true},
    {"opaque_origin", "null", true},
    {"chrome_extension", "chrome-extension://abcdefghijklmnopabcdefghijklmnop", true},
    {"moz_extension_mixed_case", "Moz-Extension://0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0", true},
    {"safari_web_extension", "safari-web-extension://ABCDEF12-3456-7890-ABCD-EF1234567890", true},
    {"other_scheme", "app://tarq-client", false},
    {"local_file", "file://", false},
};

class E2eOrigin : public DaemonTest, public ::testing::WithParamInterface<OriginCase> {};

TEST_P(E2eOrigin, WebPagesAreRefusedOtherClientsServed) {
    const OriginCase& c = GetParam();
    ASSERT_TRUE(startDaemon());
    WsClient& client = newClient();
    const bool connected = client.connect(c.origin);
    EXPECT_EQ(client.response()[http::field::server], server_field);

    if (c.refused) {
        EXPECT_FALSE(connected);
        EXPECT_EQ(client.response().result(), http::status::forbidden);
        EXPECT_TRUE(hasRecord("Session: Accept: Permission denied"));
        const auto records = daemon().records();
        const long accept = findRecord(records, "Session: Accept: Permission denied");
        ASSERT_GE(accept, 0);
        EXPECT_EQ(records[accept].severity, "error");
        const long onAccept = findRecord(records, "Session: On accept");
        EXPECT_GE(onAccept, 0) << daemon().output();
        EXPECT_LT(onAccept, accept) << daemon().output();
        // The refused session is not listed: the replies go to a later client.
        WsClient* other = connect();
        ASSERT_NE(other, nullptr);
        EXPECT_EQ(exchange(*other, "1,setdns a b", 2), quickJob(1, "setdns"));
    } else {
        ASSERT_TRUE(connected) << client.handshakeError().message();
        EXPECT_EQ(client.response().result(), http::status::switching_protocols);
        EXPECT_EQ(exchange(client, "1,setdns a b", 2), quickJob(1, "setdns"));
    }
}

INSTANTIATE_TEST_SUITE_P(Origins, E2eOrigin, ::testing::ValuesIn(origin_cases),
                         [](const auto& info) { return std::string(info.param.label); });

} // namespace
} // namespace TarqSe::E2e
