#include "daemon/platform.h"

#include <boost/dll/runtime_symbol_info.hpp>
#include <boost/process/search_path.hpp>

#include <csignal>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/syscall.h>
#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif
#endif

namespace TarqSe::Daemon {

namespace {

// Upper bound of the descriptor loop: an unlimited or huge soft limit must not make every spawn
// walk millions of descriptors.
constexpr int max_descriptor_scan = 65536;

// A fixed file of the program directory, or nothing when that directory is unknown: the daemon
// must never fall back to a path outside it ("/openvpn").
std::string inProgramDir(const char* fileWithSeparator) {
    const std::string dir = Platform::programLocationDir();
    return dir.empty() ? std::string() : dir + fileWithSeparator;
}

} // namespace

void Platform::initialize() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);
}

// An executable whose path cannot be read (it does not happen in ordinary operation) gives an
// empty directory rather than an exception; every path function then yields no program.
std::string Platform::programLocationDir() {
    boost::dll::fs::error_code ec;
    const boost::dll::fs::path exe = boost::dll::program_location(ec);
    if (ec || exe.empty())
        return {};
    return exe.parent_path().string();
}

std::string Platform::fullPathToExecutable(const std::string& name) {
    const std::string dir = programLocationDir();
    // An empty directory would make the candidate relative to the working directory.
    if (dir.empty() || name.empty())
        return {};
    // Only the program directory; the PATH list of the library's default is never consulted.
    const std::vector<boost::process::filesystem::path> dirs{dir};
    return boost::process::search_path(name, dirs).string();
}

std::string Platform::openVpnPath() {
    return inProgramDir("/openvpn");
}

std::vector<std::string> Platform::killSwitchArgs() {
    return {inProgramDir("/killswitch.sh")};
}

std::vector<std::string> Platform::commandToKillProcessIfRunning(const std::string& name) {
    return {"/bin/bash", "-c", "killall " + name + " ; exit 0"};
}

std::vector<std::string> Platform::toWideStringVector(const std::vector<std::string>& args) {
    return args;
}

// Close-on-exec rather than close: the process library's exec-error pipe must stay open until
// the exec itself.
void Platform::closeInheritedDescriptorsOnExec() {
#if defined(__linux__) && defined(SYS_close_range)
    // Kernels before 5.11 do not know the flag (or the call): then walk the descriptors.
    if (::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) == 0)
        return;
#endif
    markDescriptorsCloseOnExecOneByOne();
}

void Platform::prepareChildForExec() {
    closeInheritedDescriptorsOnExec();
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    ::sigaction(SIGPIPE, &standard, nullptr);
}

void Platform::markDescriptorsCloseOnExecOneByOne() {
    int limit = max_descriptor_scan;
    struct rlimit rl {};
    if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY &&
        rl.rlim_cur < static_cast<rlim_t>(limit))
        limit = static_cast<int>(rl.rlim_cur);
    for (int fd = 3; fd < limit; ++fd)
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

} // namespace TarqSe::Daemon
