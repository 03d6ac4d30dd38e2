#pragma once

#include "commands/command.h"

namespace TarqSe::Daemon {

// "dnschecker a b" runs dnschecker.sh with the first two arguments.
class DnsChecker : public Command {
public:
    DnsChecker(std::uint64_t messageId, const std::string& commandLine);
    bool run(Session* session) override;
    // The argument vector that run hands to the registry.
    std::vector<std::string> arguments() const;
};

} // namespace TarqSe::Daemon
