#include "commands/killtarq.h"

#include "daemon/platform.h"

namespace TarqSe::Daemon {

KillTarq::KillTarq(std::uint64_t messageId, const std::string& commandLine)
    : Command(messageId, commandLine) {
    m_name = "killtarq";
    m_processName = m_name;
    m_valid = true;
}

bool KillTarq::run(Session* session) {
    if (!isValid() || processExists(m_name))
        return false;
    return runAsync(arguments(), session);
}

std::vector<std::string> KillTarq::arguments() const {
    return Platform::commandToKillProcessIfRunning("openvpn");
}

} // namespace TarqSe::Daemon
