#include "daemon/startup.h"

#include "daemon/websocketserver.h"

namespace TarqSe::Daemon {
int startServer(WebSocketServer& server) { return server.start(); }
void setLo0Alias() {}
int daemonize(const std::string&) { return 0; }
void stopServer(WebSocketServer&) {}
std::pair<std::string, std::string> splitFilePath(const std::string& path) { return {{}, path}; }
} // namespace TarqSe::Daemon
