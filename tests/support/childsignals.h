#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/process/detail/config.hpp>
#include <boost/process/detail/posix/sigchld_service.hpp>

#include <atomic>
#include <chrono>
#include <thread>

#include <pthread.h>
#include <signal.h>

namespace TarqSe::Test {

// The thread sanitizer of GCC 12 at times loses a SIGCHLD before the process library's handler
// sees it; the library then looks at its children again only at the next SIGCHLD, and an ended
// job stays unreported (a zombie) until then. In such a build this process gets a spare SIGCHLD
// every 50 ms while one of these exists, once the library watches children on the context. A
// spare one only makes the library ask each child it watches whether it has ended (waitpid with
// WNOHANG), so it changes nothing else; other builds get none.
class SpareChildSignals {
public:
    explicit SpareChildSignals([[maybe_unused]] boost::asio::io_context& ioc) {
#if defined(__SANITIZE_THREAD__)
        m_thread = std::thread([this, &ioc] {
            using Watcher = boost::process::detail::posix::sigchld_service;
            bool watching = false;
            while (!m_stop.load()) {
                // Sent to this thread, which has seen the watcher set up: the library's signal
                // handler reads what the set-up wrote.
                watching = watching || boost::asio::has_service<Watcher>(ioc);
                if (watching)
                    ::pthread_kill(::pthread_self(), SIGCHLD);
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
#endif
    }
    ~SpareChildSignals() {
        m_stop.store(true);
        if (m_thread.joinable())
            m_thread.join();
    }
    SpareChildSignals(const SpareChildSignals&) = delete;
    SpareChildSignals& operator=(const SpareChildSignals&) = delete;

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace TarqSe::Test
