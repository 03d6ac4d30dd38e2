#pragma once

#include "commands/command.h"

namespace TarqSe::Daemon {

class FireWall : public Command {
public:
    FireWall(std::uint64_t messageId, const std::string& commandLine);
    bool run(Session* session) override;
};

} // namespace TarqSe::Daemon
