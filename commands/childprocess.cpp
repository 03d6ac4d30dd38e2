#include "commands/childprocess.h"

namespace TarqSe::Daemon {
bool ChildProcess::runChildProcessDetached(const std::vector<std::string>&) { return false; }
bool ChildProcess::runChildProcess(const std::vector<std::string>&, Command*, Session*) { return false; }
void ChildProcess::checkProcessList(bool) {}
bool ChildProcess::processExists(const std::string&) { return false; }
bool ChildProcess::terminateProcessByName(const std::string&) { return false; }
std::string ChildProcess::childProcessName(ChildProcess*) { return {}; }
} // namespace TarqSe::Daemon
