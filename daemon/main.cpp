#include "daemon/startup.h"
#include "daemon/websocketserver.h"

int main(int, char**) {
    TarqSe::Daemon::WebSocketServer server;
    return TarqSe::Daemon::startServer(server);
}
