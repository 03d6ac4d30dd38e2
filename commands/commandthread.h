#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/thread/mutex.hpp>

#include <optional>
#include <queue>
#include <string>

namespace TarqSe::Daemon {

class SessionList;

// The dispatcher: every 10 ms one request line becomes a command and one reply goes out.
class CommandThread {
public:
    CommandThread(boost::asio::io_context& ioContext, SessionList& sessionList);
    ~CommandThread();
    CommandThread(const CommandThread&) = delete;
    CommandThread& operator=(const CommandThread&) = delete;

    static CommandThread* instance() { return g_instance; }
    void pushCommand(const std::string& command);
    static void pushReplyToQueue(const std::string& reply);
    void pushReply(const std::string& reply);
    void run();
    void onTimer();
    void cancel();
    void schedule();
    std::string objectName() const { return "CommandThread"; }

private:
    // A tick but for arming the next one; request and reply hold what it has taken from the
    // queues and not yet handled.
    void handleQueues(std::optional<std::string>& request, std::optional<std::string>& reply);
    // Called from a catch block with what the failed tick held.
    static void reportFailedTick(const std::optional<std::string>& request,
                                 const std::optional<std::string>& reply);

    SessionList& m_sessionList;
    bool m_running = true;
    boost::asio::steady_timer* m_timer = nullptr;
    boost::mutex m_mutex;
    std::queue<std::string> m_commands;
    std::queue<std::string> m_replies;

    static CommandThread* g_instance;
};

} // namespace TarqSe::Daemon
