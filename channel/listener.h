#pragma once

#include "channel/session.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include <chrono>
#include <memory>
#include <string>

namespace TarqSe::Daemon {

class SessionList;

// The TCP acceptor of the client channel.
class Listener : public std::enable_shared_from_this<Listener> {
public:
    Listener(boost::asio::io_context& ioContext, boost::asio::ip::tcp::endpoint endpoint,
             SessionList& sessionList);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    bool isValid() const { return m_valid; }
    // Where it listens: with port 0, the port that the system chose.
    boost::asio::ip::tcp::endpoint localEndpoint() const;
    void run();
    std::string objectName() const { return "Listener"; }

private:
    void doAccept();
    // Each connection is accepted onto a strand of its own, which its session keeps.
    void onAccept(boost::system::error_code ec, Session::Socket socket);
    // An accept that failed for want of descriptors or memory is tried again after a pause
    // that doubles up to a second: at once, it would fail again at once.
    void doPause();
    void onPause(boost::system::error_code ec);

    boost::asio::io_context& m_ioContext;
    boost::asio::ip::tcp::acceptor m_acceptor;
    SessionList& m_sessionList;
    bool m_valid = false;
    boost::asio::steady_timer m_pauseTimer;
    // The last pause; zero since the last accept that succeeded.
    std::chrono::milliseconds m_pause{0};
};

} // namespace TarqSe::Daemon
