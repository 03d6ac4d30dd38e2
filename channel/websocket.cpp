#include "channel/websocket.h"

#include "daemon/log.h"

namespace TarqSe::Daemon::Websocket {
void beastErrorMsg(const std::string& objectName, boost::system::error_code ec,
                   const std::string& what) {
    Log::errorMsg(objectName, what + ": " + ec.message());
}
} // namespace TarqSe::Daemon::Websocket
