#pragma once

#include "commands/command.h"

namespace TarqSe::Daemon {

// "stoptarq": ends the OpenVPN job that "starttarq" registered.
class StopTarq : public Command {
public:
    StopTarq(std::uint64_t messageId, const std::string& commandLine);
    bool run(Session* session) override;
};

} // namespace TarqSe::Daemon
