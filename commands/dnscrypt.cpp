#include "commands/dnscrypt.h"

namespace TarqSe::Daemon {
DnsCrypt::DnsCrypt(std::uint64_t messageId, const std::string& commandLine) : Command(messageId, commandLine) {}
bool DnsCrypt::run(Session*) { return false; }
} // namespace TarqSe::Daemon
