#pragma once

#include <atomic>
#include <chrono>
#include <thread>

#include <signal.h>
#include <unistd.h>

namespace TarqSe::Test {

// The thread sanitizer of GCC 12 at times loses a SIGCHLD before the process library's handler
// sees it; the library then looks at its children again only at the next SIGCHLD, and an ended
// job stays unreported (a zombie) until then. In such a build this process gets a spare SIGCHLD
// every 50 ms while one of these exists. A spare one only makes the library ask each child it
// watches whether it has ended (waitpid with WNOHANG), so it changes nothing else; other builds
// get none.
class SpareChildSignals {
public:
    SpareChildSignals() {
#if defined(__SANITIZE_THREAD__)
        m_thread = std::thread([this] {
            while (!m_stop.load()) {
                ::kill(::getpid(), SIGCHLD);
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
