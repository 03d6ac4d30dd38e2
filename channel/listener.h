#pragma once

#include "channel/session.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

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
    void run();
    std::string objectName() const { return "Listener"; }

private:
    void doAccept();
    // Each connection is accepted onto a strand of its own, which its session keeps.
    void onAccept(boost::system::error_code ec, Session::Socket socket);

    boost::asio::io_context& m_ioContext;
    boost::asio::ip::tcp::acceptor m_acceptor;
    SessionList& m_sessionList;
    bool m_valid = false;
};

} // namespace TarqSe::Daemon
