#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <memory>
#include <string>

namespace TarqSe::Daemon {

class SessionList;

// One accepted WebSocket client connection.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(boost::asio::io_context& ioContext, boost::asio::ip::tcp::socket&& socket,
            SessionList& sessionList);
    ~Session();

    void run();
    // Hands one reply over; never blocks.
    void write(const std::string& message);
    std::string objectName() const { return "Session"; }

    // Private members are the channel's own (see session.cpp).
};

} // namespace TarqSe::Daemon
