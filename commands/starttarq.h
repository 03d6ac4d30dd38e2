#pragma once

#include "commands/command.h"

namespace TarqSe::Daemon {

// "starttarq config password log": OpenVPN with its management interface; one at a time.
class StartTarq : public Command {
public:
    StartTarq(std::uint64_t messageId, const std::string& commandLine);
    bool run(Session* session) override;
    // The argument vector that run hands to the registry.
    std::vector<std::string> arguments() const;
};

} // namespace TarqSe::Daemon
