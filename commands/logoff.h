#pragma once

#include "commands/command.h"

namespace TarqSe::Daemon {

// "logoff": runs logoff.sh; one at a time.
class Logoff : public Command {
public:
    Logoff(std::uint64_t messageId, const std::string& commandLine);
    bool run(Session* session) override;
    // The argument vector that run hands to the registry.
    std::vector<std::string> arguments() const;
};

} // namespace TarqSe::Daemon
