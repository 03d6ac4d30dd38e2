#include "daemon/log.h"

#include <iostream>

namespace TarqSe::Daemon {
// Placeholder until the logging is built.
void Log::initialize() {}
void Log::initializePath() {}
void Log::initializeIn(const std::string&) {}
void Log::infoMsg(const std::string& o, const std::string& m) { std::cout << o << ": " << m << std::endl; }
void Log::errorMsg(const std::string& o, const std::string& m) { std::cout << o << ": " << m << std::endl; }
std::string Log::path() { return "/var/log/TARQ"; }
} // namespace TarqSe::Daemon
