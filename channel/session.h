#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <cstddef>
#include <deque>
#include <memory>
#include <string>

namespace TarqSe::Daemon {

class SessionList;

// One accepted WebSocket client connection.
class Session : public std::enable_shared_from_this<Session> {
public:
    using Strand = boost::asio::strand<boost::asio::io_context::executor_type>;
    // A socket accepted onto its own strand: the stream's timers (handshake and idle
    // time-outs, keep-alive pings) then run serialised with the session's handlers.
    using Socket = boost::asio::ip::tcp::socket::rebind_executor<Strand>::other;

    Session(Socket&& socket, SessionList& sessionList);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void run();
    // Hands one reply over; never blocks. Called from the dispatcher's tick, off the strand.
    void write(const std::string& message);
    std::string objectName() const { return "Session"; }
    std::string bufferToString() const;

private:
    enum class State { Handshaking, Open, Ended };

    void onRun();
    void onReadRequest(boost::beast::error_code ec, std::size_t bytesTransferred);
    void onRefused(boost::beast::error_code ec, std::size_t bytesTransferred);
    void onAccept(boost::beast::error_code ec);
    void doRead();
    void onRead(boost::beast::error_code ec, std::size_t bytesTransferred);
    void queueReply(std::string message);
    void doWrite();
    void onWrite(boost::beast::error_code ec, std::size_t bytesTransferred);
    void end();
    // The replies still queued when the session has ended: one record says what is lost.
    void dropQueuedReplies();

    Strand m_strand;
    boost::beast::websocket::stream<boost::beast::tcp_stream> m_ws;
    boost::beast::multi_buffer m_buffer;
    SessionList& m_sessionList;

    // Touched on the strand only.
    boost::beast::http::request<boost::beast::http::string_body> m_request;
    boost::beast::http::response<boost::beast::http::string_body> m_refusal;
    State m_state = State::Handshaking;
    bool m_text = true;
    // Replies not yet written, each the session's own copy, at most as many as the reply ring
    // holds; the front one is in flight while m_writing is set.
    std::deque<std::string> m_replies;
    bool m_writing = false;
};

} // namespace TarqSe::Daemon
