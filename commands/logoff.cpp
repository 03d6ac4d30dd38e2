#include "commands/logoff.h"

namespace TarqSe::Daemon {
Logoff::Logoff(std::uint64_t messageId, const std::string& commandLine) : Command(messageId, commandLine) {}
bool Logoff::run(Session*) { return false; }
} // namespace TarqSe::Daemon
