#include "commands/killtarq.h"

namespace TarqSe::Daemon {
KillTarq::KillTarq(std::uint64_t messageId, const std::string& commandLine) : Command(messageId, commandLine) {}
bool KillTarq::run(Session*) { return false; }
} // namespace TarqSe::Daemon
