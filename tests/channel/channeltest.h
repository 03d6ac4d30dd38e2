#pragma once

#include "channel/listener.h"
#include "channel/sessionlist.h"
#include "commands/commandthread.h"
#include "daemon/websocketserver.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace TarqSe::Test {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

inline const std::string serverField = "Boost.Beast/345 websocket-server-async";

// A loopback port that was free a moment ago (never the daemon's own 7506).
inline unsigned short freePort() {
    net::io_context ioc;
    tcp::acceptor probe(ioc, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0));
    return probe.local_endpoint().port();
}

// Polls a condition with a generous deadline.
inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::seconds timeout = std::chrono::seconds(30)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// The daemon's side of the channel on its own port, its I/O context run by three threads as the
// daemon runs it.
class ChannelServer {
public:
    explicit ChannelServer(bool withDispatcher = false) : m_list(m_ioc) {
        // The dispatcher exists before any session can look it up.
        if (withDispatcher)
            m_dispatcher = std::make_unique<Daemon::CommandThread>(m_ioc, m_list);
        // On a port that the system picks as it binds: one picked before could be taken by
        // then.
        m_listener = std::make_shared<Daemon::Listener>(
            m_ioc, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0), m_list);
        EXPECT_TRUE(m_listener->isValid());
        m_port = m_listener->localEndpoint().port();
        m_listener->run();
        for (int i = 0; i < 3; ++i)
            m_threads.emplace_back([this] { Daemon::WebSocketServer::runIoContext(m_ioc); });
    }
    ~ChannelServer() { stop(); }
    ChannelServer(const ChannelServer&) = delete;
    ChannelServer& operator=(const ChannelServer&) = delete;

    // In the daemon's order: the threads leave the context, then the objects go.
    void stop() {
        m_ioc.stop();
        for (auto& thread : m_threads)
            thread.join();
        m_threads.clear();
        m_dispatcher.reset();
        m_listener.reset();
    }

    net::io_context& context() { return m_ioc; }
    unsigned short port() const { return m_port; }
    Daemon::SessionList& list() { return m_list; }
    Daemon::CommandThread& dispatcher() { return *m_dispatcher; }

private:
    net::io_context m_ioc{4};
    Daemon::SessionList m_list;
    unsigned short m_port = 0;
    std::unique_ptr<Daemon::CommandThread> m_dispatcher;
    std::shared_ptr<Daemon::Listener> m_listener;
    std::vector<std::thread> m_threads;
};

// A WebSocket client in the test thread. Every step runs on the client's own context with a
// generous deadline, so that a fault fails the test instead of hanging it.
class Client {
public:
    // receiveBuffer: a small one keeps what the daemon can write ahead of the client's reads
    // small too.
    explicit Client(unsigned short port, int receiveBuffer = 0) : m_ws(m_ioc) {
        auto& socket = beast::get_lowest_layer(m_ws).socket();
        socket.open(tcp::v4());
        if (receiveBuffer > 0)
            socket.set_option(net::socket_base::receive_buffer_size(receiveBuffer));
        socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    }

    beast::error_code handshake(const std::optional<std::string>& origin = std::nullopt) {
        if (origin)
            m_ws.set_option(
                websocket::stream_base::decorator([value = *origin](websocket::request_type& req) {
                    req.set(http::field::origin, value);
                }));
        return runOp([&](auto handler) {
            m_ws.async_handshake(m_response, "127.0.0.1", "/", std::move(handler));
        });
    }

    beast::error_code send(const std::string& message, bool text = true) {
        m_ws.text(text);
        return runOp(
            [&](auto handler) { m_ws.async_write(net::buffer(message), std::move(handler)); });
    }

    struct Message {
        beast::error_code ec;
        std::string text;
        bool isText = false;
    };
    Message read() {
        beast::flat_buffer buffer;
        Message message;
        message.ec = runOp([&](auto handler) { m_ws.async_read(buffer, std::move(handler)); });
        message.text = beast::buffers_to_string(buffer.data());
        message.isText = m_ws.got_text();
        return message;
    }

    beast::error_code close() {
        return runOp([&](auto handler) {
            m_ws.async_close(websocket::close_code::normal, std::move(handler));
        });
    }

    // An HTTP exchange on the bare connection instead of the WebSocket handshake.
    http::response<http::string_body> httpExchange(const http::request<http::string_body>& req) {
        auto& stream = beast::get_lowest_layer(m_ws);
        http::response<http::string_body> res;
        EXPECT_FALSE(
            runOp([&](auto handler) { http::async_write(stream, req, std::move(handler)); }));
        beast::flat_buffer buffer;
        EXPECT_FALSE(runOp(
            [&](auto handler) { http::async_read(stream, buffer, res, std::move(handler)); }));
        return res;
    }

    const websocket::response_type& response() const { return m_response; }
    beast::tcp_stream& tcp() { return beast::get_lowest_layer(m_ws); }

private:
    template <class Start> beast::error_code runOp(Start start) {
        beast::error_code result;
        beast::get_lowest_layer(m_ws).expires_after(std::chrono::seconds(30));
        start([&result](beast::error_code ec, auto&&...) { result = ec; });
        m_ioc.restart();
        m_ioc.run();
        return result;
    }

    net::io_context m_ioc;
    websocket::stream<beast::tcp_stream> m_ws;
    websocket::response_type m_response;
};

} // namespace TarqSe::Test
