#include "commands/dnschecker.h"

namespace TarqSe::Daemon {
DnsChecker::DnsChecker(std::uint64_t messageId, const std::string& commandLine) : Command(messageId, commandLine) {}
bool DnsChecker::run(Session*) { return false; }
} // namespace TarqSe::Daemon
