#include "channel/sessionlist.h"

#include "channel/session.h"

namespace TarqSe::Daemon {
SessionList::SessionList(boost::asio::io_context&) : m_messages(10000) {}
void SessionList::add(std::shared_ptr<Session>& session) { m_sessions.push_back(session); }
void SessionList::closed(Session*) {}
void SessionList::write(const std::string&) {}
} // namespace TarqSe::Daemon
