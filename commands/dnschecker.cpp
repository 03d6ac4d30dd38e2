#include "commands/dnschecker.h"

#include "daemon/log.h"
#include "daemon/platform.h"

namespace TarqSe::Daemon {

namespace {
const std::string script = "dnschecker.sh";
} // namespace

DnsChecker::DnsChecker(std::uint64_t messageId, const std::string& commandLine)
    : Command(messageId, commandLine) {
    m_name = "dnschecker";
    m_processName = m_name;
    if (m_tokens.size() < 3) {
        Log::errorMsg(objectName(), "Arguments are missed");
        return;
    }
    m_valid = true;
}

bool DnsChecker::run(Session* session) {
    if (!isValid())
        return false;
    return runAsync(arguments(), session, script);
}

std::vector<std::string> DnsChecker::arguments() const {
    return {Platform::fullPathToExecutable(script), token(1), token(2)};
}

} // namespace TarqSe::Daemon
