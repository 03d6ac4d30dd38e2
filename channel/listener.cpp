#include "channel/listener.h"

#include "channel/sessionlist.h"
#include "channel/websocket.h"
#include "daemon/log.h"

#include <boost/asio/strand.hpp>
#include <boost/beast/core/bind_handler.hpp>

#include <utility>

namespace TarqSe::Daemon {

namespace {
const std::string objectNameText = "Listener";
constexpr int backlog = 128;
} // namespace

Listener::Listener(boost::asio::io_context& ioContext, boost::asio::ip::tcp::endpoint endpoint,
                   SessionList& sessionList)
    : m_ioContext(ioContext), m_acceptor(ioContext), m_sessionList(sessionList) {
    boost::system::error_code ec;
    const auto failed = [&ec](const char* step) {
        if (ec)
            Websocket::beastErrorMsg(objectNameText, ec, step);
        return static_cast<bool>(ec);
    };
    m_acceptor.open(endpoint.protocol(), ec);
    if (failed("Open"))
        return;
    m_acceptor.set_option(boost::asio::socket_base::reuse_address(true), ec);
    if (failed("Set option"))
        return;
    m_acceptor.bind(endpoint, ec);
    if (failed("Bind"))
        return;
    m_acceptor.listen(backlog, ec);
    if (failed("Listen"))
        return;
    m_valid = true;
}

Listener::~Listener() = default;

void Listener::run() {
    if (!m_acceptor.is_open()) {
        Log::errorMsg(objectNameText, "Acceptor is not open");
        return;
    }
    Log::infoMsg(objectNameText, "Start accepting new connections");
    doAccept();
}

void Listener::doAccept() {
    m_acceptor.async_accept(
        boost::asio::make_strand(m_ioContext),
        boost::beast::bind_front_handler(&Listener::onAccept, shared_from_this()));
}

void Listener::onAccept(boost::system::error_code ec, Session::Socket socket) {
    Log::infoMsg(objectNameText, "Accepted new session");
    if (ec) {
        Websocket::beastErrorMsg(objectNameText, ec, "Accept");
    } else {
        // Replies are small: each must leave at once, not wait for the client's delayed
        // acknowledgement of the one before.
        boost::system::error_code optionEc;
        socket.set_option(boost::asio::ip::tcp::no_delay(true), optionEc);
        if (optionEc)
            Websocket::beastErrorMsg(objectNameText, optionEc, "No delay");
        auto session = std::make_shared<Session>(std::move(socket), m_sessionList);
        // Listed before it runs: none of its handlers, which may remove it, can come first.
        m_sessionList.add(session);
        session->run();
    }
    doAccept();
}

} // namespace TarqSe::Daemon
