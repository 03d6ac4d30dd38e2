#include "commands/dnscrypt.h"

#include "commands/childprocess.h"
#include "daemon/log.h"
#include "daemon/platform.h"

namespace TarqSe::Daemon {

namespace {
const std::string program = "dnscrypt-proxy";
} // namespace

DnsCrypt::DnsCrypt(std::uint64_t messageId, const std::string& commandLine)
    : Command(messageId, commandLine) {
    m_name = "dnscrypt";
    m_processName = m_name;
    const std::string subcommand = token(1);
    if (subcommand != "start" && subcommand != "stop") {
        Log::errorMsg(objectName(), "Unsupported command received: " + subcommand);
        return;
    }
    if (subcommand == "start" && m_tokens.size() <= 3) {
        Log::errorMsg(objectName(), "Arguments are missed for 'start' command");
        return;
    }
    m_valid = true;
}

bool DnsCrypt::run(Session* session) {
    if (!isValid())
        return false;
    if (token(1) == "start") {
        if (processExists(m_name)) {
            Log::infoMsg(objectName(), "Already started, terminating and restart again");
            ChildProcess::terminateProcessByName(m_name);
        }
        return runAsync(arguments(), session, program);
    }
    // "stop": the ended job's FINISHED reply answers; the stop itself gets none.
    if (processExists(m_name))
        ChildProcess::terminateProcessByName(m_name);
    else
        Log::infoMsg(objectName(), "Process not running");
    return false;
}

std::vector<std::string> DnsCrypt::arguments() const {
    std::vector<std::string> args{Platform::fullPathToExecutable(program)};
    if (m_tokens.size() > 2)
        args.insert(args.end(), m_tokens.begin() + 2, m_tokens.end());
    return args;
}

} // namespace TarqSe::Daemon
