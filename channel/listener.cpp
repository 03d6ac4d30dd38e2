#include "channel/listener.h"

namespace TarqSe::Daemon {
Listener::Listener(boost::asio::io_context& ioc, boost::asio::ip::tcp::endpoint, SessionList& sessionList)
    : m_ioContext(ioc), m_acceptor(ioc), m_socket(ioc), m_sessionList(sessionList) {}
Listener::~Listener() = default;
void Listener::run() {}
void Listener::doAccept() {}
void Listener::onAccept(boost::system::error_code) {}
} // namespace TarqSe::Daemon
