#pragma once

#include "commands/command.h"

namespace TarqSe::Daemon {

// "firewall {ipv4|ipv6|all|update} {enable|disable} {killswitch|dnscrypt|all} args...":
// killswitch.sh.
class FireWall : public Command {
public:
    FireWall(std::uint64_t messageId, const std::string& commandLine);
    bool run(Session* session) override;
    // The argument vector that run hands to the registry.
    std::vector<std::string> arguments() const;
};

} // namespace TarqSe::Daemon
