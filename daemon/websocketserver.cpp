#include "daemon/websocketserver.h"

namespace TarqSe::Daemon {
boost::asio::io_context* WebSocketServer::m_ioc = nullptr;
WebSocketServer::WebSocketServer() = default;
WebSocketServer::~WebSocketServer() = default;
int WebSocketServer::start() { return 0; }
void WebSocketServer::stop() {}
boost::asio::io_context& WebSocketServer::globalIoContext() { return *m_ioc; }
} // namespace TarqSe::Daemon
