#include "commands/stoptarq.h"

namespace TarqSe::Daemon {
StopTarq::StopTarq(std::uint64_t messageId, const std::string& commandLine) : Command(messageId, commandLine) {}
bool StopTarq::run(Session*) { return false; }
} // namespace TarqSe::Daemon
