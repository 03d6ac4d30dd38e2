#include "commands/commandthread.h"

namespace TarqSe::Daemon {
CommandThread* CommandThread::g_instance = nullptr;
CommandThread::CommandThread(boost::asio::io_context& ioc, SessionList& sessionList)
    : m_sessionList(sessionList), m_timer(new boost::asio::steady_timer(ioc)) { g_instance = this; }
CommandThread::~CommandThread() { g_instance = nullptr; }
void CommandThread::pushCommand(const std::string&) {}
void CommandThread::pushReplyToQueue(const std::string&) {}
void CommandThread::pushReply(const std::string&) {}
void CommandThread::run() {}
void CommandThread::onTimer() {}
void CommandThread::cancel() {}
void CommandThread::schedule() {}
} // namespace TarqSe::Daemon
