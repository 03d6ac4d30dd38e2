#pragma once

#include <boost/asio/io_context.hpp>

#include <string>
#include <thread>
#include <vector>

namespace TarqSe::Daemon {

// Owns the process's one I/O context, builds the other subsystems around it and runs it.
class WebSocketServer {
public:
    WebSocketServer();
    ~WebSocketServer();
    WebSocketServer(const WebSocketServer&) = delete;
    WebSocketServer& operator=(const WebSocketServer&) = delete;

    int start();
    static void stop();
    static boost::asio::io_context& globalIoContext();
    // Runs the context on the calling thread until it is stopped or out of work; an exception
    // that escapes a handler is logged and the context entered again.
    static void runIoContext(boost::asio::io_context& ioc);
    // Lets tests drive the registry and the dispatcher on a context of their own.
    static void useIoContext(boost::asio::io_context* ioContext) { m_ioc = ioContext; }
    std::string objectName() const { return "WebSocketServer"; }

private:
    std::vector<std::thread> m_threads;
    static boost::asio::io_context* m_ioc;
};

} // namespace TarqSe::Daemon
