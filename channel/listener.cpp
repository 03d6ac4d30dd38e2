#include "channel/listener.h"

#include "channel/sessionlist.h"
#include "channel/websocket.h"
#include "daemon/log.h"

#include <boost/asio/strand.hpp>
#include <boost/beast/core/bind_handler.hpp>

#include <algorithm>
#include <utility>

namespace TarqSe::Daemon {

namespace {
const std::string objectNameText = "Listener";
constexpr int backlog = 128;
constexpr std::chrono::milliseconds firstPause{100};
constexpr std::chrono::milliseconds longestPause{1000};

// Errors that only time can mend: the next accept would fail the same way at once.
bool lacksResources(const boost::system::error_code& ec) {
    namespace errc = boost::system::errc;
    return ec == errc::too_many_files_open || ec == errc::too_many_files_open_in_system ||
           ec == errc::no_buffer_space || ec == errc::not_enough_memory;
}
} // namespace

Listener::Listener(boost::asio::io_context& ioContext, boost::asio::ip::tcp::endpoint endpoint,
                   SessionList& sessionList)
    : m_ioContext(ioContext), m_acceptor(ioContext), m_sessionList(sessionList),
      m_pauseTimer(ioContext) {
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

boost::asio::ip::tcp::endpoint Listener::localEndpoint() const {
    boost::system::error_code ec;
    return m_acceptor.local_endpoint(ec);
}

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
        if (lacksResources(ec))
            return doPause();
    } else {
        m_pause = std::chrono::milliseconds(0);
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

void Listener::doPause() {
    m_pause = m_pause.count() == 0 ? firstPause : std::min(2 * m_pause, longestPause);
    m_pauseTimer.expires_after(m_pause);
    m_pauseTimer.async_wait(
        boost::beast::bind_front_handler(&Listener::onPause, shared_from_this()));
}

// Nothing cancels the pause; the context's stop drops it.
void Listener::onPause(boost::system::error_code) {
    doAccept();
}

} // namespace TarqSe::Daemon
