#pragma once

#include "commands/command.h"

namespace TarqSe::Daemon {

// "killtarq": killall openvpn, whoever started it; one at a time.
class KillTarq : public Command {
public:
    KillTarq(std::uint64_t messageId, const std::string& commandLine);
    bool run(Session* session) override;
    // The argument vector that run hands to the registry.
    std::vector<std::string> arguments() const;
};

} // namespace TarqSe::Daemon
