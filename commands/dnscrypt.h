#pragma once

#include "commands/command.h"

namespace TarqSe::Daemon {

// "dnscrypt start args..." (re)starts dnscrypt-proxy; "dnscrypt stop" ends it.
class DnsCrypt : public Command {
public:
    DnsCrypt(std::uint64_t messageId, const std::string& commandLine);
    bool run(Session* session) override;
    // The argument vector of a "start" request.
    std::vector<std::string> arguments() const;
};

} // namespace TarqSe::Daemon
