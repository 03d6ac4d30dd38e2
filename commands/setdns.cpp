#include "commands/setdns.h"

namespace TarqSe::Daemon {
SetDns::SetDns(std::uint64_t messageId, const std::string& commandLine) : Command(messageId, commandLine) {}
bool SetDns::run(Session*) { return false; }
} // namespace TarqSe::Daemon
