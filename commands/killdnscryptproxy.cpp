#include "commands/killdnscryptproxy.h"

namespace TarqSe::Daemon {
KillDnsCryptProxy::KillDnsCryptProxy(std::uint64_t messageId, const std::string& commandLine) : Command(messageId, commandLine) {}
bool KillDnsCryptProxy::run(Session*) { return false; }
} // namespace TarqSe::Daemon
