#include "commands/firewall.h"

namespace TarqSe::Daemon {
FireWall::FireWall(std::uint64_t messageId, const std::string& commandLine) : Command(messageId, commandLine) {}
bool FireWall::run(Session*) { return false; }
} // namespace TarqSe::Daemon
