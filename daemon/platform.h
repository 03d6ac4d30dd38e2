#pragma once

#include <string>
#include <vector>

namespace TarqSe::Daemon {

// What the commands need of the platform; every auxiliary program lives in the program directory.
class Platform {
public:
    Platform() = delete;

    // Ignores SIGPIPE: a closed standard output must not end the daemon; the console output
    // then skips its records.
    static void initialize();
    static std::string programLocationDir();
    static std::string fullPathToExecutable(const std::string& name);
    static std::string openVpnPath();
    static std::vector<std::string> killSwitchArgs();
    static std::vector<std::string> commandToKillProcessIfRunning(const std::string& name);
    static std::vector<std::string> toWideStringVector(const std::vector<std::string>& args);

    // Runs in a freshly forked child before exec: every descriptor above standard error is
    // marked close-on-exec, so that no socket, log file or pipe of the daemon leaks into it.
    // Async-signal-safe.
    static void closeInheritedDescriptorsOnExec();

    // Runs in a freshly forked child before exec: closes the inherited descriptors as above and
    // gives SIGPIPE back its default action, which an ignored signal would keep across exec.
    // Async-signal-safe.
    static void prepareChildForExec();
    // The portable way of the above (descriptor by descriptor up to the open-files limit), used
    // where the system has no call for a whole range.
    static void markDescriptorsCloseOnExecOneByOne();
};

} // namespace TarqSe::Daemon
