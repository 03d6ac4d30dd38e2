#include "channel/session.h"

namespace TarqSe::Daemon {
Session::Session(boost::asio::io_context&, boost::asio::ip::tcp::socket&&, SessionList&) {}
Session::~Session() = default;
void Session::run() {}
void Session::write(const std::string&) {}
} // namespace TarqSe::Daemon
