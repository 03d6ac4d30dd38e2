#include "daemon/startup.h"

#include "commands/command.h"
#include "daemon/log.h"
#include "daemon/platform.h"
#include "daemon/websocketserver.h"

#include <boost/log/trivial.hpp>

#include <iostream>
#include <unistd.h>

namespace TarqSe::Daemon {

int startServer(WebSocketServer& server) {
    if (getuid() != 0 || getgid() != 0) {
        std::cerr << "ERROR: TARQ daemon requires root privileges" << std::endl;
        return 1;
    }
    setLo0Alias();
    return server.start();
}

void setLo0Alias() {
    Command::run("Initialization", {Platform::fullPathToExecutable("aliases.sh")});
}

int daemonize(const std::string&) {
    return 0;
}

void stopServer(WebSocketServer&) {
    BOOST_LOG_TRIVIAL(info) << "Preparing to stop";
    WebSocketServer::stop();
    BOOST_LOG_TRIVIAL(info) << "Server stopped";
}

std::pair<std::string, std::string> splitFilePath(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return {std::string(), path};
    return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

} // namespace TarqSe::Daemon
