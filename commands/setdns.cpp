#include "commands/setdns.h"

#include "daemon/log.h"
#include "daemon/platform.h"

namespace TarqSe::Daemon {

namespace {
const std::string script = "setdns.sh";
} // namespace

SetDns::SetDns(std::uint64_t messageId, const std::string& commandLine)
    : Command(messageId, commandLine) {
    m_name = "setdns";
    m_processName = m_name;
    if (m_tokens.size() < 3) {
        Log::errorMsg(objectName(), "Arguments are missed");
        return;
    }
    m_valid = true;
}

bool SetDns::run(Session* session) {
    if (!isValid())
        return false;
    return runAsync(arguments(), session, script);
}

std::vector<std::string> SetDns::arguments() const {
    std::vector<std::string> args{Platform::fullPathToExecutable(script), "-setdnsservers"};
    if (!m_tokens.empty())
        args.insert(args.end(), m_tokens.begin() + 1, m_tokens.end());
    return args;
}

} // namespace TarqSe::Daemon
