#pragma once

#include "commands/command.h"

namespace TarqSe::Daemon {

// "setdns server..." runs setdns.sh -setdnsservers with the servers.
class SetDns : public Command {
public:
    SetDns(std::uint64_t messageId, const std::string& commandLine);
    bool run(Session* session) override;
    // The argument vector that run hands to the registry.
    std::vector<std::string> arguments() const;
};

} // namespace TarqSe::Daemon
