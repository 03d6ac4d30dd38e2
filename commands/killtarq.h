#pragma once

#include "commands/command.h"

namespace TarqSe::Daemon {

class KillTarq : public Command {
public:
    KillTarq(std::uint64_t messageId, const std::string& commandLine);
    bool run(Session* session) override;
};

} // namespace TarqSe::Daemon
