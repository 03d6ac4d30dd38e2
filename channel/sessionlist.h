#pragma once

#include <boost/asio/io_context.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace TarqSe::Daemon {

class Session;

// The accepted sessions, oldest first; every reply goes to the oldest one.
//
// add (accept handler), closed (session handlers) and write (dispatcher tick) run on different
// I/O threads, so the list has a mutex of its own. It ranks after the dispatcher's mutex: write
// is called with that one held, and nothing under the list's mutex takes it.
class SessionList {
public:
    static constexpr std::size_t ringSize = 10000;

    explicit SessionList(boost::asio::io_context& ioContext);
    SessionList(const SessionList&) = delete;
    SessionList& operator=(const SessionList&) = delete;

    void add(std::shared_ptr<Session>& session);
    void closed(Session* session);
    void write(const std::string& message);
    std::string objectName() const { return "SessionList"; }

    std::size_t size() const;
    std::uint32_t messageIndex() const;

private:
    mutable std::mutex m_mutex;
    std::vector<std::shared_ptr<Session>> m_sessions;
    std::vector<std::string> m_messages;
    std::uint32_t m_messageIndex = 0;
};

} // namespace TarqSe::Daemon
