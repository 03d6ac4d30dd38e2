#include "commands/commandthread.h"

#include "channel/sessionlist.h"
#include "commands/childprocess.h"
#include "commands/command.h"
#include "commands/commands.h"
#include "daemon/log.h"

#include <boost/format.hpp>

#include <chrono>
#include <memory>

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
    std::optional<std::string> request;
    std::optional<std::string> reply;
    try {
        handleQueues(request, reply);
    } catch (...) {
        // Out of memory, say: what the tick held is lost, but the ticks go on.
        reportFailedTick(request, reply);
    }

    boost::mutex::scoped_lock lock(m_mutex);
    if (m_running)
        schedule();
    else
        Log::infoMsg(objectNameText, "Cancelled");
}

void CommandThread::handleQueues(std::optional<std::string>& request,
                                 std::optional<std::string>& reply) {
    ChildProcess::checkProcessList(false);

    std::unique_ptr<Command> command;
    {
        boost::mutex::scoped_lock lock(m_mutex);
        if (!m_commands.empty()) {
            request = m_commands.front();
            m_commands.pop();
            Log::infoMsg(objectNameText, (boost::format("New command: '%1%'") % *request).str());
            command.reset(Commands::findCommand(*request));
            if (!command)
                Log::infoMsg(objectNameText, "Wrong command, skipping");
        }
        if (!m_replies.empty()) {
            reply = m_replies.front();
            m_replies.pop();
            Log::infoMsg(objectNameText, (boost::format("New reply: '%1%'") % *reply).str());
            m_sessionList.write(*reply);
            reply.reset();
        }
    }

    if (command) {
        Log::infoMsg(objectNameText,
                     (boost::format("Execute command: '%1%'") % command->name()).str());
        // A started job's entry owns the command. A run that throws has registered nothing
        // (registering is its last step), so the command is still ours to delete.
        if (Commands::runCommand(command.get(), nullptr))
            command.release();
    }
}

void CommandThread::reportFailedTick(const std::optional<std::string>& request,
                                     const std::optional<std::string>& reply) {
    // Nothing may escape from here: a record that cannot be written either must not end the
    // ticks.
    try {
        std::string message;
        try {
            throw;
        } catch (const std::exception& e) {
            message = (boost::format("Tick failed: '%1%'") % e.what()).str();
        } catch (...) {
            message = "Tick failed: exception of unknown type";
        }
        if (request)
            message += (boost::format("; request '%1%' dropped") % *request).str();
        if (reply)
            message += (boost::format("; reply '%1%' dropped") % *reply).str();
        Log::errorMsg(objectNameText, message);
    } catch (...) {
    }
}

void CommandThread::cancel() {
    boost::mutex::scoped_lock lock(m_mutex);
    m_running = false;
}

} // namespace TarqSe::Daemon
