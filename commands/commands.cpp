#include "commands/commands.h"

#include "commands/command.h"

namespace TarqSe::Daemon {
Command* Commands::findCommand(const std::string&) { return nullptr; }
bool Commands::parseRequest(const std::string&, std::uint64_t&, std::string&) { return false; }
bool Commands::runCommand(Command* command, Session* session) { return command && command->run(session); }
} // namespace TarqSe::Daemon
