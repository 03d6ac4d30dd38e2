#pragma once

#include "commands/command.h"

namespace TarqSe::Daemon {

class DnsChecker : public Command {
public:
    DnsChecker(std::uint64_t messageId, const std::string& commandLine);
    bool run(Session* session) override;
};

} // namespace TarqSe::Daemon
