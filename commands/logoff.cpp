#include "commands/logoff.h"

#include "daemon/platform.h"

namespace TarqSe::Daemon {

namespace {
const std::string script = "logoff.sh";
} // namespace

Logoff::Logoff(std::uint64_t messageId, const std::string& commandLine)
    : Command(messageId, commandLine) {
    m_name = "logoff";
    m_processName = m_name;
    m_valid = true;
}

bool Logoff::run(Session* session) {
    if (!isValid() || processExists(m_name))
        return false;
    return runAsync(arguments(), session, script);
}

std::vector<std::string> Logoff::arguments() const {
    return {Platform::fullPathToExecutable(script)};
}

} // namespace TarqSe::Daemon
