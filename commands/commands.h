#pragma once

#include <cstdint>
#include <string>

namespace TarqSe::Daemon {

class Command;
class Session;

// Request line parsing and the keyword table.
class Commands {
public:
    Commands() = delete;

    static Command* findCommand(const std::string& request);
    static bool parseRequest(const std::string& request, std::uint64_t& messageId,
                             std::string& commandLine);
    static bool runCommand(Command* command, Session* session);
    static std::string objectName() { return "Commands"; }
};

} // namespace TarqSe::Daemon
