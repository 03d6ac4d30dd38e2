#include "commands/commands.h"

#include "commands/command.h"
#include "commands/dnschecker.h"
#include "commands/dnscrypt.h"
#include "commands/firewall.h"
#include "commands/killdnscryptproxy.h"
#include "commands/killtarq.h"
#include "commands/logoff.h"
#include "commands/setdns.h"
#include "commands/starttarq.h"
#include "commands/stoptarq.h"
#include "commands/text.h"
#include "daemon/log.h"

#include <charconv>

namespace TarqSe::Daemon {

namespace {

template <class T> Command* create(std::uint64_t messageId, const std::string& commandLine) {
    return new T(messageId, commandLine);
}

struct Keyword {
    const char* keyword;
    Command* (*create)(std::uint64_t, const std::string&);
};

// Compared in this order.
const Keyword keywords[] = {
    {"dnschecker", create<DnsChecker>}, {"dnscrypt", create<DnsCrypt>},
    {"firewall", create<FireWall>},     {"killdnscryptproxy", create<KillDnsCryptProxy>},
    {"killtarq", create<KillTarq>},     {"logoff", create<Logoff>},
    {"setdns", create<SetDns>},         {"starttarq", create<StartTarq>},
    {"stoptarq", create<StopTarq>},
};

// Decimal id with optional leading white space and sign; trailing characters are ignored and a
// "-" negates modulo 2^64. Refuses a missing digit and an overflow of either sign.
bool convertMessageId(const char* first, const char* last, std::uint64_t& value) {
    while (first != last && isAsciiWhiteSpace(*first))
        ++first;
    bool negative = false;
    if (first != last && (*first == '+' || *first == '-')) {
        negative = *first == '-';
        ++first;
    }
    std::uint64_t number = 0;
    const auto result = std::from_chars(first, last, number, 10);
    if (result.ec != std::errc())
        return false;
    value = negative ? 0 - number : number;
    return true;
}

} // namespace

Command* Commands::findCommand(const std::string& request) {
    std::uint64_t messageId = 0;
    std::string commandLine;
    if (!parseRequest(request, messageId, commandLine)) {
        Log::errorMsg("Commands", "Cannot parse request");
        return nullptr;
    }
    // A program gets its arguments as C strings, so a NUL would cut one short unseen.
    if (commandLine.find('\0') != std::string::npos) {
        Log::errorMsg("Commands", "Command line holds a NUL character");
        return nullptr;
    }
    // Before tokenizing, so that a repeated id is refused whatever its command line holds.
    if (Command::lastMessageId() == messageId) {
        Log::errorMsg("Commands", "Last messageId is equal current messageId");
        return nullptr;
    }
    const auto tokens = Command::splitCommandLineLine(commandLine);
    if (tokens.empty())
        return nullptr;
    for (const auto& entry : keywords) {
        if (tokens[0] == entry.keyword)
            return entry.create(messageId, commandLine);
    }
    return nullptr;
}

bool Commands::parseRequest(const std::string& request, std::uint64_t& messageId,
                            std::string& commandLine) {
    const auto comma = request.find(',');
    if (comma == std::string::npos || comma + 1 == request.size())
        return false;
    std::uint64_t id = 0;
    if (!convertMessageId(request.data(), request.data() + comma, id))
        return false;
    messageId = id;
    commandLine = request.substr(comma + 1);
    return true;
}

bool Commands::runCommand(Command* command, Session* session) {
    return command != nullptr && command->run(session);
}

} // namespace TarqSe::Daemon
