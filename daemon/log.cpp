#include "daemon/log.h"

#include <boost/format.hpp>
#include <boost/log/trivial.hpp>

namespace TarqSe::Daemon {
// Placeholder set-up until the logging is built; the record functions are final.
void Log::initialize() {}
void Log::initializePath() {}
void Log::initializeIn(const std::string&) {}

void Log::infoMsg(const std::string& objectName, const std::string& message) {
    BOOST_LOG_TRIVIAL(info) << boost::format("%1%: %2%") % objectName % message;
}

void Log::errorMsg(const std::string& objectName, const std::string& message) {
    BOOST_LOG_TRIVIAL(error) << boost::format("%1%: %2%") % objectName % message;
}

std::string Log::path() { return "/var/log/TARQ"; }
} // namespace TarqSe::Daemon
