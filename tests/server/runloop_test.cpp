#include "daemon/websocketserver.h"
#include "tests/support/logcapture.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace TarqSe::Test {
namespace {

using Daemon::WebSocketServer;

// A handler that lets an exception escape costs its own work only: the loop logs it and goes on
// until the context is stopped, although work is still pending then.
TEST(RunLoop, SurvivesHandlersThatThrowUntilStopped) {
    LogCapture log;
    boost::asio::io_context ioc;
    auto work = boost::asio::make_work_guard(ioc);
    std::vector<std::string> ran;
    boost::asio::post(ioc, [&] {
        ran.push_back("first");
        throw std::runtime_error("out of luck");
    });
    boost::asio::post(ioc, [&] {
        ran.push_back("second");
        throw 42;
    });
    boost::asio::post(ioc, [&] {
        ran.push_back("third");
        ioc.stop();
    });

    WebSocketServer::runIoContext(ioc);

    EXPECT_EQ(ran, (std::vector<std::string>{"first", "second", "third"}));
    EXPECT_EQ(log.messages(), (std::vector<std::string>{
                                  "WebSocketServer: Exception from a handler: 'out of luck'",
                                  "WebSocketServer: Exception from a handler of unknown type"}));
    for (const auto& record : log.records())
        EXPECT_EQ(record.severity, boost::log::trivial::error);
    EXPECT_TRUE(ioc.stopped());
}

// Without work left the loop returns, as the context's own run does.
TEST(RunLoop, ReturnsWhenTheContextRunsOutOfWork) {
    LogCapture log;
    boost::asio::io_context ioc;
    int ran = 0;
    boost::asio::post(ioc, [&] { ++ran; });
    WebSocketServer::runIoContext(ioc);
    EXPECT_EQ(ran, 1);
    EXPECT_TRUE(log.messages().empty());
}

} // namespace
} // namespace TarqSe::Test
