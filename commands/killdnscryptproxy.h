#pragma once

#include "commands/command.h"

namespace TarqSe::Daemon {

class KillDnsCryptProxy : public Command {
public:
    KillDnsCryptProxy(std::uint64_t messageId, const std::string& commandLine);
    bool run(Session* session) override;
};

} // namespace TarqSe::Daemon
