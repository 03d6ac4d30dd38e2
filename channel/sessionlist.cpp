#include "channel/sessionlist.h"

#include "channel/session.h"
#include "daemon/log.h"

#include <algorithm>

namespace TarqSe::Daemon {

namespace {
const std::string objectNameText = "SessionList";
} // namespace

SessionList::SessionList(boost::asio::io_context&) : m_messages(ringSize) {}

void SessionList::add(std::shared_ptr<Session>& session) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sessions.push_back(session);
}

void SessionList::closed(Session* session) {
    // Released after the lock: the list's share may be the last one.
    std::shared_ptr<Session> removed;
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = std::find_if(m_sessions.begin(), m_sessions.end(),
                                 [session](const auto& listed) { return listed.get() == session; });
    if (it != m_sessions.end()) {
        removed = std::move(*it);
        m_sessions.erase(it);
    }
    if (m_sessions.empty())
        Log::infoMsg(objectNameText, "No active sessions");
}

void SessionList::write(const std::string& message) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_sessions.empty()) {
        Log::errorMsg(objectNameText, "No active sessions, skipping");
        return;
    }
    m_messages[m_messageIndex] = message;
    // The session queues its own copy, so the slot may be reused before the write is done.
    m_sessions.front()->write(m_messages[m_messageIndex]);
    if (++m_messageIndex == m_messages.size())
        m_messageIndex = 0;
}

std::size_t SessionList::size() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sessions.size();
}

std::uint32_t SessionList::messageIndex() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_messageIndex;
}

} // namespace TarqSe::Daemon
