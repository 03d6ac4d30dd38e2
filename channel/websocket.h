#pragma once

#include <boost/system/error_code.hpp>

#include <string>

namespace TarqSe::Daemon::Websocket {

// The one record of a failed network step: "<what>: <error message>".
void beastErrorMsg(const std::string& objectName, boost::system::error_code ec,
                   const std::string& what);

} // namespace TarqSe::Daemon::Websocket
