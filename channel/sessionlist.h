#pragma once

#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace TarqSe::Daemon {

class Session;

// The accepted sessions, oldest first; every reply goes to the oldest one.
class SessionList {
public:
    explicit SessionList(boost::asio::io_context& ioContext);
    SessionList(const SessionList&) = delete;
    SessionList& operator=(const SessionList&) = delete;

    void add(std::shared_ptr<Session>& session);
    void closed(Session* session);
    void write(const std::string& message);
    std::string objectName() const { return "SessionList"; }

private:
    std::vector<std::shared_ptr<Session>> m_sessions;
    std::vector<std::string> m_messages;
    std::uint32_t m_messageIndex = 0;
};

} // namespace TarqSe::Daemon
