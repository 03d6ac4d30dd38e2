#include "commands/command.h"

namespace TarqSe::Daemon {
std::uint64_t Command::m_lastMessageId = 0;
Command::Command(std::uint64_t messageId, const std::string&) : m_messageId(messageId) { m_lastMessageId = messageId; }
Command::~Command() = default;
bool Command::isValid() const { return m_valid; }
bool Command::isMyCommand() const { return !m_tokens.empty() && m_tokens[0] == m_name; }
std::string Command::commandState(bool, int) const { return {}; }
bool Command::runAsync(const std::vector<std::string>&, Session*) { return false; }
void Command::logCommandLineArgs(const std::vector<std::string>&) const {}
std::string Command::capitalize(const std::string& text) { return text; }
std::vector<std::string> Command::splitCommandLineLine(const std::string&) { return {}; }
void Command::logCommandLineArgs(const std::string&, const std::vector<std::string>&) {}
void Command::run(const std::string&, const std::vector<std::string>&) {}
bool Command::processExists(const std::string&) { return false; }
} // namespace TarqSe::Daemon
