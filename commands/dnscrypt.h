#pragma once

#include "commands/command.h"

namespace TarqSe::Daemon {

class DnsCrypt : public Command {
public:
    DnsCrypt(std::uint64_t messageId, const std::string& commandLine);
    bool run(Session* session) override;
};

} // namespace TarqSe::Daemon
