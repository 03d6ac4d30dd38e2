#include "commands/command.h"
#include "commands/firewall.h"
#include "commands/logoff.h"
#include "commands/setdns.h"
#include "commands/starttarq.h"
#include "commands/stoptarq.h"
#include "daemon/websocketserver.h"
#include "tests/support/logcapture.h"

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

using TarqSe::Daemon::Command;
using TarqSe::Daemon::Session;
using TarqSe::Test::LogCapture;
namespace D = TarqSe::Daemon;

using Tokens = std::vector<std::string>;

TEST(CommandsTokenizer, SplitsAtBlanksAndTabsOutsideQuotes) {
    const struct {
        std::string line;
        Tokens tokens;
    } cases[] = {
        {"", {}},
        {" \t  \t", {}},
        {"\"\"", {}},
        {"starttarq a b c", {"starttarq", "a", "b", "c"}},
        {"a\tb", {"a", "b"}},
        {"  a \t\t  b  ", {"a", "b"}},
        {"a \"b \t c\" d", {"a", "b \t c", "d"}},
        {"x\"b c\"y z", {"xb cy", "z"}},
        {"a \"\" b", {"a", "b"}},
        {"a\"\"b", {"ab"}},
        {"a \"b c  ", {"a", "b c  "}},
        {"a\\\"b c\\\" d", {"a\\b c\\", "d"}},
        {"a,b c\r\n", {"a,b", "c\r\n"}},
        {"a\nb\vc", {"a\nb\vc"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("line '" + c.line + "'");
        EXPECT_EQ(Command::splitCommandLineLine(c.line), c.tokens);
    }
}

TEST(CommandsCapitalize, UpperCasesFirstLetterOfEachWord) {
    const struct {
        std::string text;
        std::string expected;
    } cases[] = {
        {"starttarq", "Starttarq"},
        {"killdnscryptproxy", "Killdnscryptproxy"},
        {"two words", "Two Words"},
        {"a\tb\nc\vd\fe\rf", "A\tB\nC\vD\fE\rF"},
        {"2fa", "2Fa"},
        {"-x y", "-X Y"},
        {"ab-cd", "Ab-cd"},
        {"aBC", "ABC"},
        {"Abc", "Abc"},
        {"", ""},
        {"  ", "  "},
        // Bytes from 0x80 change neither themselves nor the word start.
        {"\xC3\xA9t\xC3\xA9", "\xC3\xA9T\xC3\xA9"},
        {"x\xFFy \xE9z", "X\xFFy \xE9Z"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("text '" + c.text + "'");
        EXPECT_EQ(Command::capitalize(c.text), c.expected);
    }
}

TEST(CommandsState, BuildsStatusReply) {
    const D::StartTarq openvpn(12, "starttarq a b c");
    const D::FireWall firewall(3, "firewall all disable dnscrypt x");
    const D::Logoff maxed(18446744073709551615ULL, "logoff");
    const struct {
        const Command& command;
        bool started;
        int code;
        std::string expected;
    } cases[] = {
        {openvpn, true, 0, "12,openvpn::STARTED::status::0"},
        {openvpn, false, 1, "12,openvpn::FINISHED::status::1"},
        {openvpn, false, -1, "12,openvpn::FINISHED::status::-1"},
        {openvpn, false, INT_MIN, "12,openvpn::FINISHED::status::-2147483648"},
        {firewall, false, 9, "3,firewall-all-disable-dnscrypt::FINISHED::status::9"},
        {maxed, true, 0, "18446744073709551615,logoff::STARTED::status::0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(c.command.commandState(c.started, c.code), c.expected);
    }
}

TEST(CommandsValidity, KeywordMustBeTokenZero) {
    // Built outside the keyword table, a class can meet a command line of another keyword.
    const D::SetDns other(1, "setdnsx a b");
    EXPECT_FALSE(other.isValid());
    EXPECT_FALSE(other.isMyCommand());

    const D::StopTarq empty(2, "");
    EXPECT_FALSE(empty.isValid());
    EXPECT_FALSE(empty.isMyCommand());

    const D::StopTarq stop(3, "stoptarq");
    EXPECT_TRUE(stop.isValid());
    EXPECT_TRUE(stop.isMyCommand());
}

TEST(CommandsArgsRecord, QuotesAndJoinsEveryElement) {
    const struct {
        Tokens args;
        std::string expected;
    } cases[] = {
        {{"/dir/openvpn", "--config", "c"},
         "Obj: Start command with args: '/dir/openvpn','--config','c'"},
        {{"a", "b c"}, "Obj: Start command with args: 'a','b c'"},
        {{"", "x"}, "Obj: Start command with args: '','x'"},
        {{"100%", "%1%"}, "Obj: Start command with args: '100%','%1%'"},
        {{}, "Obj: Start command with args: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        LogCapture log;
        Command::logCommandLineArgs("Obj", c.args);
        ASSERT_EQ(log.records().size(), 1u);
        EXPECT_EQ(log.records()[0].severity, boost::log::trivial::info);
        EXPECT_EQ(log.records()[0].message, c.expected);
    }
}

TEST(CommandsArgsRecord, MemberFormLogsUnderObjectName) {
    const D::StopTarq stop(1, "stoptarq");
    LogCapture log;
    stop.logCommandLineArgs({"a"});
    EXPECT_EQ(log.messages(), Tokens{"Stoptarq: Start command with args: 'a'"});
}

namespace {

// A command that only hands its vector to the registry.
class Probe : public Command {
public:
    explicit Probe(const Tokens& args) : Command(1, "probe"), m_args(args) {
        m_name = "probe";
        m_valid = true;
    }
    bool run(Session* session) override { return runAsync(m_args, session); }

private:
    Tokens m_args;
};

} // namespace

TEST(CommandsRunner, RunAsyncLogsVectorUnderObjectName) {
    // Vectors that name no program: logged, nothing spawned, the caller keeps the command.
    const struct {
        Tokens args;
        std::string record;
    } cases[] = {
        {{}, "Probe: Start command with args: "},
        {{"", "a b"}, "Probe: Start command with args: '','a b'"},
    };
    boost::asio::io_context ioc;
    D::WebSocketServer::useIoContext(&ioc);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.record);
        LogCapture log;
        Probe probe(c.args);
        EXPECT_FALSE(probe.run(nullptr));
        ASSERT_FALSE(log.messages().empty());
        EXPECT_EQ(log.messages()[0], c.record);
    }
    D::WebSocketServer::useIoContext(nullptr);
}

TEST(CommandsRunner, OneShotRefusesVectorWithoutProgram) {
    const Tokens cases[] = {{}, {""}, {"", "/bin/true"}};
    for (const auto& args : cases) {
        LogCapture log;
        Command::run("Initialization", args);
        ASSERT_EQ(log.records().size(), 1u);
        EXPECT_EQ(log.records()[0].severity, boost::log::trivial::error);
        EXPECT_EQ(log.records()[0].message, "Initialization: Cannot start command, no args");
    }
}

TEST(CommandsRunner, OneShotLogsVectorBeforeStarting) {
    // A program that does not exist, so nothing runs whatever the registry does with it.
    boost::asio::io_context ioc;
    D::WebSocketServer::useIoContext(&ioc);
    LogCapture log;
    Command::run("Initialization", {"/nonexistent-tarq-dir/aliases.sh"});
    D::WebSocketServer::useIoContext(nullptr);
    ASSERT_FALSE(log.messages().empty());
    EXPECT_EQ(log.messages()[0],
              "Initialization: Start command with args: '/nonexistent-tarq-dir/aliases.sh'");
}
