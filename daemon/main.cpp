#include "daemon/log.h"
#include "daemon/platform.h"
#include "daemon/startup.h"
#include "daemon/websocketserver.h"
#include "version.h"

#include <boost/format.hpp>
#include <boost/log/trivial.hpp>

#include <string>

int main(int argc, char** argv) {
    using namespace TarqSe::Daemon;

    Platform::initialize();
    Log::initialize();
    BOOST_LOG_TRIVIAL(info) << boost::format(
                                   "TARQ Daemon started, version '%1%', git branch '%2%', "
                                   "revision '%3%'") %
                                   Version::version % Version::branch % Version::revision;
    Log::reportInitializationFailure();
    if (argc == 2)
        daemonize(std::string(argv[1]));

    WebSocketServer server;
    return startServer(server);
}
