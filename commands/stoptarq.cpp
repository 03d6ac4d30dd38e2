#include "commands/stoptarq.h"

#include "commands/childprocess.h"

namespace TarqSe::Daemon {

StopTarq::StopTarq(std::uint64_t messageId, const std::string& commandLine)
    : Command(messageId, commandLine) {
    m_name = "stoptarq";
    m_processName = m_name;
    m_valid = true;
}

bool StopTarq::run(Session*) {
    if (!isValid())
        return false;
    // The client's "stop" for OpenVPN: end the job "starttarq" registered, as "dnscrypt stop"
    // does for its own. No reply of its own; the OpenVPN job's FINISHED reply, under its
    // "starttarq" request's id, tells the client it has ended.
    if (processExists("starttarq"))
        ChildProcess::terminateProcessByName("starttarq");
    return false;
}

} // namespace TarqSe::Daemon
