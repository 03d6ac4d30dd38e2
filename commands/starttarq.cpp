#include "commands/starttarq.h"

#include "daemon/log.h"
#include "daemon/platform.h"

namespace TarqSe::Daemon {

StartTarq::StartTarq(std::uint64_t messageId, const std::string& commandLine)
    : Command(messageId, commandLine) {
    m_name = "starttarq";
    m_processName = "openvpn";
    if (m_tokens.size() > 3)
        m_valid = true;
    else
        Log::errorMsg(objectName(), "Arguments are missed");
}

bool StartTarq::run(Session* session) {
    if (!isValid() || processExists(m_name))
        return false;
    return runAsync(arguments(), session);
}

std::vector<std::string> StartTarq::arguments() const {
    return {Platform::openVpnPath(),
            "--config",
            token(1),
            "--management",
            "localhost",
            "7505",
            token(2),
            "--management-query-passwords",
            "--management-client",
            "--management-hold",
            "--log-append",
            token(3)};
}

} // namespace TarqSe::Daemon
