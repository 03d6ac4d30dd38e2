#include "commands/killdnscryptproxy.h"

#include "daemon/platform.h"

namespace TarqSe::Daemon {

KillDnsCryptProxy::KillDnsCryptProxy(std::uint64_t messageId, const std::string& commandLine)
    : Command(messageId, commandLine) {
    m_name = "killdnscryptproxy";
    m_processName = m_name;
    m_valid = true;
}

bool KillDnsCryptProxy::run(Session* session) {
    if (!isValid() || processExists(m_name))
        return false;
    return runAsync(arguments(), session);
}

std::vector<std::string> KillDnsCryptProxy::arguments() const {
    return Platform::commandToKillProcessIfRunning("dnscrypt-proxy");
}

} // namespace TarqSe::Daemon
