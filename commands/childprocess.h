#pragma once

#include <string>
#include <vector>

namespace TarqSe::Daemon {

class Command;
class Session;

// The job registry: one entry per job started for a command; the only source of status replies.
class ChildProcess {
public:
    static bool runChildProcessDetached(const std::vector<std::string>& args);
    static bool runChildProcess(const std::vector<std::string>& args, Command* command,
                                Session* session);
    static void checkProcessList(bool logWhenEmpty);
    static bool processExists(const std::string& name);
    static bool terminateProcessByName(const std::string& name);
    static std::string childProcessName(ChildProcess* entry);

    // Internal fields and helpers are the registry's own (see childprocess.cpp).
};

} // namespace TarqSe::Daemon
