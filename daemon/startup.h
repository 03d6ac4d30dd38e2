#pragma once

#include <string>
#include <utility>

namespace TarqSe::Daemon {

class WebSocketServer;

int startServer(WebSocketServer& server);
void setLo0Alias();
int daemonize(const std::string& argument);
void stopServer(WebSocketServer& server);
std::pair<std::string, std::string> splitFilePath(const std::string& path);

} // namespace TarqSe::Daemon
