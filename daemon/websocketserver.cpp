#include "daemon/websocketserver.h"

#include "channel/listener.h"
#include "channel/sessionlist.h"
#include "commands/commandthread.h"
#include "daemon/log.h"

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/format.hpp>

#include <csignal>
#include <memory>
#include <optional>
#include <system_error>
#include <utility>

#include <pthread.h>

namespace TarqSe::Daemon {

namespace {

const std::string objectNameText = "WebSocketServer";
constexpr int concurrencyHint = 4;
constexpr int extraThreads = 3;
constexpr unsigned short listeningPort = 7506;

// Thread creation can only report failure by throwing; a thread that cannot be started is
// logged and the daemon goes on with the threads it has.
template <typename Function> bool startThread(std::thread& thread, Function&& function) {
    try {
        thread = std::thread(std::forward<Function>(function));
        return true;
    } catch (const std::system_error& e) {
        Log::errorMsg(objectNameText, std::string("Cannot start thread: ") + e.what());
        return false;
    }
}

// SIGINT and SIGTERM stop the daemon in order. The set's creation can only throw (it needs a
// descriptor); without it, or without one of the signals, the signal's default action applies.
std::unique_ptr<boost::asio::signal_set> makeSignalSet(boost::asio::io_context& ioc) {
    std::unique_ptr<boost::asio::signal_set> signals;
    try {
        signals = std::make_unique<boost::asio::signal_set>(ioc);
    } catch (const std::exception& e) {
        Log::errorMsg(objectNameText, std::string("Cannot handle signals: ") + e.what());
        return nullptr;
    }
    for (const auto& [number, name] :
         {std::pair{SIGINT, "SIGINT"}, std::pair{SIGTERM, "SIGTERM"}}) {
        boost::system::error_code ec;
        signals->add(number, ec);
        if (ec)
            Log::errorMsg(objectNameText,
                          std::string("Cannot handle ") + name + ": " + ec.message());
    }
    return signals;
}

} // namespace

boost::asio::io_context* WebSocketServer::m_ioc = nullptr;

void WebSocketServer::runIoContext(boost::asio::io_context& ioc) {
    for (;;) {
        try {
            ioc.run();
            return;
        } catch (const std::exception& e) {
            Log::errorMsg(objectNameText,
                          (boost::format("Exception from a handler: '%1%'") % e.what()).str());
        } catch (...) {
            Log::errorMsg(objectNameText, "Exception from a handler of unknown type");
        }
    }
}

WebSocketServer::WebSocketServer() = default;

WebSocketServer::~WebSocketServer() = default;

int WebSocketServer::start() {
    m_ioc = new boost::asio::io_context(concurrencyHint);
    boost::system::error_code ec;
    const auto address = boost::asio::ip::make_address("127.0.0.1", ec);
    std::optional<SessionList> sessionList(std::in_place, *m_ioc);
    auto* dispatcher = new CommandThread(*m_ioc, *sessionList);

    Log::infoMsg(objectNameText, "Create listener");
    const boost::asio::ip::tcp::endpoint endpoint(address, listeningPort);
    auto listener = std::make_shared<Listener>(*m_ioc, endpoint, *sessionList);
    if (!listener->isValid()) {
        Log::errorMsg(objectNameText, "Critical error, exiting...");
        listener.reset();
        sessionList.reset();
        return -1;
    }

    // This thread only arms the first tick and ends: a SIGINT or SIGTERM must go to one of the
    // threads that live on (a thread sanitizer, for one, loses a signal whose thread ends).
    sigset_t stopSignals, previousMask;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &stopSignals, &previousMask);
    std::thread dispatcherStart;
    startThread(dispatcherStart, [dispatcher] { dispatcher->run(); });
    ::pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    listener->run();

    // Made before any thread runs the context, so before the first spawn, whose exit watching
    // needs the descriptors of the signal handling too.
    auto signals = makeSignalSet(*m_ioc);
    if (signals)
        signals->async_wait([](const boost::system::error_code&, int) {
            Log::infoMsg(objectNameText, "Catch SIGINT/SIGTERM signal");
            WebSocketServer::stop();
        });

    Log::infoMsg(objectNameText, "Run");
    for (int i = 0; i < extraThreads; ++i) {
        std::thread thread;
        if (startThread(thread, [] { runIoContext(*m_ioc); }))
            m_threads.push_back(std::move(thread));
    }
    Log::infoMsg(objectNameText, "Starting I/O");
    runIoContext(*m_ioc);

    for (auto& thread : m_threads)
        thread.join();
    dispatcher->cancel();
    if (dispatcherStart.joinable())
        dispatcherStart.join();
    Log::infoMsg(objectNameText, "Bye...");

    // These use the context's services, so they go before it.
    signals.reset();
    listener.reset();
    sessionList.reset();
    delete m_ioc;
    return 0;
}

void WebSocketServer::stop() {
    Log::infoMsg(objectNameText, "Stopping...");
    m_ioc->stop();
    Log::infoMsg(objectNameText, "Exiting...");
}

boost::asio::io_context& WebSocketServer::globalIoContext() {
    return *m_ioc;
}

} // namespace TarqSe::Daemon
