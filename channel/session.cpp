#include "channel/session.h"

#include "channel/sessionlist.h"
#include "channel/websocket.h"
#include "commands/commandthread.h"
#include "daemon/log.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/format.hpp>

#include <chrono>
#include <utility>

namespace TarqSe::Daemon {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;

namespace {

const std::string objectNameText = "Session";
constexpr std::chrono::seconds handshakeTimeout{30};
constexpr std::chrono::seconds idleTimeout{300};

std::string serverField() {
    return std::string(BOOST_BEAST_VERSION_STRING) + " websocket-server-async";
}

bool startsWithNoCase(beast::string_view text, beast::string_view prefix) {
    return text.size() >= prefix.size() && beast::iequals(text.substr(0, prefix.size()), prefix);
}

// Any web page the user opens, and any browser extension, may connect to the loopback port; a
// browser always names the origin ("null" for opaque ones). Other clients send no Origin or
// another scheme.
bool hasBrowserOrigin(const http::request<http::string_body>& request) {
    static const char* const browserSchemes[] = {
        "http:", "https:", "chrome-extension:", "moz-extension:", "safari-web-extension:"};
    const auto origins = request.equal_range(http::field::origin);
    for (auto it = origins.first; it != origins.second; ++it) {
        const auto origin = it->value();
        if (beast::iequals(origin, "null"))
            return true;
        for (const char* scheme : browserSchemes)
            if (startsWithNoCase(origin, scheme))
                return true;
    }
    return false;
}

const std::string sessionEnded = "the session has ended";

void logDropped(const std::string& reply, const std::string& why) {
    Log::errorMsg(objectNameText, (boost::format("Reply '%1%' dropped: %2%") % reply % why).str());
}

} // namespace

Session::Session(Socket&& socket, SessionList& sessionList)
    : m_strand(socket.get_executor()), m_ws(std::move(socket)), m_sessionList(sessionList) {
    Log::infoMsg(objectNameText, "Created");
}

Session::~Session() {
    Log::infoMsg(objectNameText, "Deleted");
}

void Session::run() {
    // Everything that touches the stream runs on the strand, this start included.
    net::dispatch(m_strand, beast::bind_front_handler(&Session::onRun, shared_from_this()));
}

void Session::onRun() {
    m_ws.set_option(websocket::stream_base::timeout{handshakeTimeout, idleTimeout, true});
    m_ws.set_option(websocket::stream_base::decorator([](websocket::response_type& response) {
        response.set(http::field::server, serverField());
    }));
    // The upgrade request is read first so that its Origin can be looked at; the handshake
    // time-out covers this read too.
    beast::get_lowest_layer(m_ws).expires_after(handshakeTimeout);
    http::async_read(m_ws.next_layer(), m_buffer, m_request,
                     beast::bind_front_handler(&Session::onReadRequest, shared_from_this()));
}

void Session::onReadRequest(beast::error_code ec, std::size_t) {
    // Bytes a client sent ahead of the handshake's answer belong to no message.
    m_buffer.consume(m_buffer.size());
    if (ec)
        return onAccept(ec);

    if (hasBrowserOrigin(m_request)) {
        // Written by the session itself, so the decorator does not see it.
        m_refusal = {http::status::forbidden, m_request.version()};
        m_refusal.set(http::field::server, serverField());
        m_refusal.set(http::field::content_type, "text/plain");
        m_refusal.keep_alive(false);
        m_refusal.body() = "Forbidden";
        m_refusal.prepare_payload();
        http::async_write(m_ws.next_layer(), m_refusal,
                          beast::bind_front_handler(&Session::onRefused, shared_from_this()));
        return;
    }

    // From here on the stream's own handshake time-out applies.
    beast::get_lowest_layer(m_ws).expires_never();
    m_ws.async_accept(m_request, beast::bind_front_handler(&Session::onAccept, shared_from_this()));
}

void Session::onRefused(beast::error_code, std::size_t) {
    beast::error_code ignored;
    beast::get_lowest_layer(m_ws).socket().shutdown(net::ip::tcp::socket::shutdown_send, ignored);
    onAccept(make_error_code(boost::system::errc::permission_denied));
}

void Session::onAccept(beast::error_code ec) {
    Log::infoMsg(objectNameText, "On accept");
    if (ec) {
        m_sessionList.closed(this);
        Websocket::beastErrorMsg(objectNameText, ec, "Accept");
        end();
        return;
    }
    m_state = State::Open;
    // Replies handed over during the handshake waited for it.
    if (!m_replies.empty())
        doWrite();
    doRead();
}

void Session::doRead() {
    m_ws.async_read(m_buffer, beast::bind_front_handler(&Session::onRead, shared_from_this()));
}

void Session::onRead(beast::error_code ec, std::size_t) {
    if (ec == websocket::error::closed) {
        m_sessionList.closed(this);
        end();
        return;
    }
    if (ec) {
        m_sessionList.closed(this);
        Websocket::beastErrorMsg(objectNameText, ec, "Read");
        end();
        return;
    }

    m_text = m_ws.got_text();
    const std::string request = bufferToString();
    m_buffer.consume(m_buffer.size());
    if (request.empty()) {
        Log::infoMsg(objectNameText, "Client closed connection");
        m_sessionList.closed(this);
        end();
        return;
    }

    Log::infoMsg(objectNameText, (boost::format("New request: '%1%'") % request).str());
    if (CommandThread* dispatcher = CommandThread::instance())
        dispatcher->pushCommand(request);
    doRead();
}

void Session::write(const std::string& message) {
    // The strand gets its own copy: the caller's text may change before the write is done.
    net::post(m_strand, [self = shared_from_this(), message]() mutable {
        self->queueReply(std::move(message));
    });
    Log::infoMsg(objectNameText, (boost::format("Reply '%1%' done") % message).str());
}

void Session::queueReply(std::string message) {
    if (m_state == State::Ended)
        return logDropped(message, sessionEnded);
    // A client that sends but never reads must not grow the daemon without bound.
    if (m_replies.size() >= SessionList::ringSize)
        return logDropped(message, std::to_string(SessionList::ringSize) + " replies are waiting");
    m_replies.push_back(std::move(message));
    if (m_state == State::Open && !m_writing)
        doWrite();
}

void Session::doWrite() {
    m_writing = true;
    m_ws.text(m_text);
    m_ws.async_write(net::buffer(m_replies.front()),
                     beast::bind_front_handler(&Session::onWrite, shared_from_this()));
}

void Session::onWrite(beast::error_code ec, std::size_t) {
    m_writing = false;
    m_replies.pop_front();
    if (ec)
        Websocket::beastErrorMsg(objectNameText, ec, "Write");
    if (m_state != State::Open)
        dropQueuedReplies();
    else if (!m_replies.empty())
        doWrite();
}

void Session::end() {
    m_state = State::Ended;
    // An ended session reads no more and gets no more replies; one in flight finishes.
    if (!m_writing)
        dropQueuedReplies();
}

void Session::dropQueuedReplies() {
    if (m_replies.size() == 1)
        logDropped(m_replies.front(), sessionEnded);
    else if (m_replies.size() > 1)
        Log::errorMsg(
            objectNameText,
            (boost::format("%1% replies dropped: %2%") % m_replies.size() % sessionEnded).str());
    m_replies.clear();
}

std::string Session::bufferToString() const {
    return beast::buffers_to_string(m_buffer.data());
}

} // namespace TarqSe::Daemon
