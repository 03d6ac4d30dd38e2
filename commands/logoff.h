#pragma once

#include "commands/command.h"

namespace TarqSe::Daemon {

class Logoff : public Command {
public:
    Logoff(std::uint64_t messageId, const std::string& commandLine);
    bool run(Session* session) override;
};

} // namespace TarqSe::Daemon
