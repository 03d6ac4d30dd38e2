#pragma once

#include "commands/command.h"

namespace TarqSe::Daemon {

// "killdnscryptproxy": killall dnscrypt-proxy, whoever started it; one at a time.
class KillDnsCryptProxy : public Command {
public:
    KillDnsCryptProxy(std::uint64_t messageId, const std::string& commandLine);
    bool run(Session* session) override;
    // The argument vector that run hands to the registry.
    std::vector<std::string> arguments() const;
};

} // namespace TarqSe::Daemon
