#include "commands/starttarq.h"

namespace TarqSe::Daemon {
StartTarq::StartTarq(std::uint64_t messageId, const std::string& commandLine) : Command(messageId, commandLine) {}
bool StartTarq::run(Session*) { return false; }
} // namespace TarqSe::Daemon
