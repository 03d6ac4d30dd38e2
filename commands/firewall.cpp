#include "commands/firewall.h"

#include "daemon/log.h"
#include "daemon/platform.h"

#include <algorithm>
#include <initializer_list>

namespace TarqSe::Daemon {

namespace {

bool isOneOf(const std::string& token, std::initializer_list<const char*> choices) {
    return std::any_of(choices.begin(), choices.end(),
                       [&token](const char* choice) { return token == choice; });
}

} // namespace

FireWall::FireWall(std::uint64_t messageId, const std::string& commandLine)
    : Command(messageId, commandLine) {
    m_name = "firewall";
    if (m_tokens.size() <= 4) {
        Log::errorMsg(objectName(), "Arguments are missed");
        return;
    }
    // The reply name tells the client which switch the job was for.
    for (std::size_t i = 0; i < 4; ++i)
        m_processName += (m_processName.empty() ? "" : "-") + m_tokens[i];

    if (!isOneOf(m_tokens[1], {"ipv4", "ipv6", "all", "update"})) {
        Log::errorMsg(objectName(),
                      "Argument 1 (m_tokens[1]) is incorrect. Expected {ipv4|ipv6|all|update}");
        return;
    }
    if (!isOneOf(m_tokens[2], {"enable", "disable"})) {
        Log::errorMsg(objectName(),
                      "Argument 2 (m_tokens[2]) is incorrect. Expected {enable|disable}");
        return;
    }
    if (!isOneOf(m_tokens[3], {"killswitch", "dnscrypt", "all"})) {
        Log::errorMsg(objectName(),
                      "Argument 3 (m_tokens[3]) is incorrect. Expected {killswitch|dnscrypt|all}");
        return;
    }
    m_valid = true;
}

bool FireWall::run(Session* session) {
    if (!isValid())
        return false;
    return runAsync(arguments(), session);
}

std::vector<std::string> FireWall::arguments() const {
    std::vector<std::string> args = Platform::killSwitchArgs();
    if (!m_tokens.empty())
        args.insert(args.end(), m_tokens.begin() + 1, m_tokens.end());
    return args;
}

} // namespace TarqSe::Daemon
