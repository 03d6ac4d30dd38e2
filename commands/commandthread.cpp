#include "commands/commandthread.h"

#include "channel/sessionlist.h"
#include "commands/childprocess.h"
#include "commands/command.h"
#include "commands/commands.h"
#include "daemon/log.h"

#include <boost/format.hpp>

#include <chrono>

namespace TarqSe::Daemon {

namespace {
constexpr std::chrono::milliseconds tickPeriod{10};
const std::string objectNameText = "CommandThread";
} // namespace

CommandThread* CommandThread::g_instance = nullptr;

CommandThread::CommandThread(boost::asio::io_context& ioContext, SessionList& sessionList)
    : m_sessionList(sessionList), m_timer(new boost::asio::steady_timer(ioContext)) {
    g_instance = this;
}

CommandThread::~CommandThread() {
    Log::infoMsg(objectNameText, "Deleting...");
    g_instance = nullptr;
    {
        boost::mutex::scoped_lock lock(m_mutex);
        m_running = false;
    }
    delete m_timer;
}

void CommandThread::pushCommand(const std::string& command) {
    boost::mutex::scoped_lock lock(m_mutex);
    m_commands.push(command);
}

void CommandThread::pushReplyToQueue(const std::string& reply) {
    if (g_instance)
        g_instance->pushReply(reply);
}

void CommandThread::pushReply(const std::string& reply) {
    boost::mutex::scoped_lock lock(m_mutex);
    m_replies.push(reply);
}

void CommandThread::run() {
    Log::infoMsg(objectNameText, "Run");
    schedule();
}

void CommandThread::schedule() {
    m_timer->expires_after(tickPeriod);
    // The wait's status is not looked at: a tick runs whatever its completion reports.
    m_timer->async_wait([this](const boost::system::error_code&) { onTimer(); });
}

void CommandThread::onTimer() {
    ChildProcess::checkProcessList(false);

    Command* command = nullptr;
    {
        boost::mutex::scoped_lock lock(m_mutex);
        if (!m_commands.empty()) {
            const std::string line = m_commands.front();
            m_commands.pop();
            Log::infoMsg(objectNameText, (boost::format("New command: '%1%'") % line).str());
            command = Commands::findCommand(line);
            if (!command)
                Log::infoMsg(objectNameText, "Wrong command, skipping");
        }
        if (!m_replies.empty()) {
            const std::string reply = m_replies.front();
            m_replies.pop();
            Log::infoMsg(objectNameText, (boost::format("New reply: '%1%'") % reply).str());
            m_sessionList.write(reply);
        }
    }

    if (command) {
        Log::infoMsg(objectNameText,
                     (boost::format("Execute command: '%1%'") % command->name()).str());
        // A command that started no job is owned by nobody else.
        if (!Commands::runCommand(command, nullptr))
            delete command;
    }

    boost::mutex::scoped_lock lock(m_mutex);
    if (m_running)
        schedule();
    else
        Log::infoMsg(objectNameText, "Cancelled");
}

void CommandThread::cancel() {
    boost::mutex::scoped_lock lock(m_mutex);
    m_running = false;
}

} // namespace TarqSe::Daemon
