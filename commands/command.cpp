#include "commands/command.h"

#include "commands/childprocess.h"
#include "commands/text.h"
#include "daemon/log.h"

#include <boost/format.hpp>

namespace TarqSe::Daemon {

std::uint64_t Command::m_lastMessageId = 0;

Command::Command(std::uint64_t messageId, const std::string& commandLine)
    : m_tokens(splitCommandLineLine(commandLine)), m_messageId(messageId) {
    // Every built command counts, valid or not, so a mended request needs a new id.
    m_lastMessageId = messageId;
}

Command::~Command() = default;

bool Command::isValid() const {
    return m_valid && isMyCommand();
}

bool Command::isMyCommand() const {
    return !m_tokens.empty() && m_tokens[0] == m_name;
}

std::string Command::token(std::size_t index) const {
    return index < m_tokens.size() ? m_tokens[index] : std::string();
}

std::string Command::commandState(bool started, int code) const {
    return std::to_string(m_messageId) + "," + m_processName +
           "::" + (started ? "STARTED" : "FINISHED") + "::status::" + std::to_string(code);
}

bool Command::runAsync(const std::vector<std::string>& args, Session* session,
                       const std::string& helper) {
    logCommandLineArgs(objectName(), args);
    return ChildProcess::runChildProcess(args, this, session, helper);
}

void Command::logCommandLineArgs(const std::vector<std::string>& args) const {
    logCommandLineArgs(objectName(), args);
}

std::string Command::capitalize(const std::string& text) {
    std::string result = text;
    bool wordStart = true;
    for (char& c : result) {
        if (wordStart && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) {
            if (c >= 'a')
                c = static_cast<char>(c - 'a' + 'A');
            wordStart = false;
        } else if (isAsciiWhiteSpace(c)) {
            wordStart = true;
        }
    }
    return result;
}

std::vector<std::string> Command::splitCommandLineLine(const std::string& commandLine) {
    std::vector<std::string> tokens;
    std::string token;
    bool inQuotes = false;
    for (char c : commandLine) {
        if (c == '"') {
            inQuotes = !inQuotes;
        } else if (inQuotes) {
            token += c;
        } else if (c == ' ' || c == '\t') {
            if (!token.empty()) {
                tokens.push_back(token);
                token.clear();
            }
        } else {
            token += c;
        }
    }
    if (!token.empty())
        tokens.push_back(token);
    return tokens;
}

void Command::logCommandLineArgs(const std::string& objectName,
                                 const std::vector<std::string>& args) {
    std::string joined;
    for (const auto& arg : args) {
        if (!joined.empty())
            joined += ",";
        joined += "'" + arg + "'";
    }
    Log::infoMsg(objectName, (boost::format("Start command with args: %1%") % joined).str());
}

void Command::run(const std::string& objectName, const std::vector<std::string>& args) {
    if (args.empty() || args.front().empty()) {
        Log::errorMsg(objectName, "Cannot start command, no args");
        return;
    }
    logCommandLineArgs(objectName, args);
    ChildProcess::runChildProcessDetached(args);
}

bool Command::processExists(const std::string& name) {
    return ChildProcess::processExists(name);
}

} // namespace TarqSe::Daemon
