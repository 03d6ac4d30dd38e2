#include "commands/command.h"
#include "commands/commands.h"
#include "commands/dnschecker.h"
#include "commands/dnscrypt.h"
#include "commands/firewall.h"
#include "commands/killdnscryptproxy.h"
#include "commands/killtarq.h"
#include "commands/logoff.h"
#include "commands/setdns.h"
#include "commands/starttarq.h"
#include "commands/stoptarq.h"
#include "daemon/platform.h"
#include "tests/support/logcapture.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

using TarqSe::Daemon::Command;
using TarqSe::Daemon::Commands;
using TarqSe::Daemon::Platform;
using TarqSe::Test::LogCapture;
namespace D = TarqSe::Daemon;

using Args = std::vector<std::string>;

namespace {

// The vector a command would hand to the registry; none for commands that start no job.
std::optional<Args> argumentsOf(const Command& command) {
    if (auto* c = dynamic_cast<const D::StartTarq*>(&command))
        return c->arguments();
    if (auto* c = dynamic_cast<const D::KillTarq*>(&command))
        return c->arguments();
    if (auto* c = dynamic_cast<const D::KillDnsCryptProxy*>(&command))
        return c->arguments();
    if (auto* c = dynamic_cast<const D::DnsCrypt*>(&command))
        return c->arguments();
    if (auto* c = dynamic_cast<const D::SetDns*>(&command))
        return c->arguments();
    if (auto* c = dynamic_cast<const D::DnsChecker*>(&command))
        return c->arguments();
    if (auto* c = dynamic_cast<const D::FireWall*>(&command))
        return c->arguments();
    if (auto* c = dynamic_cast<const D::Logoff*>(&command))
        return c->arguments();
    return std::nullopt;
}

Args with(Args head, const Args& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

struct KeywordCase {
    std::string commandLine;
    std::string name;
    bool valid;
    std::string replyName;
    std::string error;        // the one validation record, or empty
    std::optional<Args> args; // checked for valid commands that start a job
};

std::vector<KeywordCase> keywordCases() {
    const auto path = [](const char* name) { return Platform::fullPathToExecutable(name); };
    const std::string ks = Platform::killSwitchArgs().at(0);
    const Args openvpn = {Platform::openVpnPath(),
                          "--config",
                          "/x y/c.ovpn",
                          "--management",
                          "localhost",
                          "7505",
                          "pw",
                          "--management-query-passwords",
                          "--management-client",
                          "--management-hold",
                          "--log-append",
                          "log"};
    const std::string arg1 =
        "Argument 1 (m_tokens[1]) is incorrect. Expected {ipv4|ipv6|all|update}";
    const std::string arg2 = "Argument 2 (m_tokens[2]) is incorrect. Expected {enable|disable}";
    const std::string arg3 =
        "Argument 3 (m_tokens[3]) is incorrect. Expected {killswitch|dnscrypt|all}";
    return {
        {"dnschecker", "dnschecker", false, "dnschecker", "Dnschecker: Arguments are missed", {}},
        {"dnschecker a", "dnschecker", false, "dnschecker", "Dnschecker: Arguments are missed", {}},
        {"dnschecker a b c", "dnschecker", true, "dnschecker", "",
         Args{path("dnschecker.sh"), "a", "b"}},

        {"dnscrypt", "dnscrypt", false, "dnscrypt", "Dnscrypt: Unsupported command received: ", {}},
        {"dnscrypt Start a b",
         "dnscrypt",
         false,
         "dnscrypt",
         "Dnscrypt: Unsupported command received: Start",
         {}},
        {"dnscrypt \"stop \"",
         "dnscrypt",
         false,
         "dnscrypt",
         "Dnscrypt: Unsupported command received: stop ",
         {}},
        {"dnscrypt start",
         "dnscrypt",
         false,
         "dnscrypt",
         "Dnscrypt: Arguments are missed for 'start' command",
         {}},
        {"dnscrypt start a",
         "dnscrypt",
         false,
         "dnscrypt",
         "Dnscrypt: Arguments are missed for 'start' command",
         {}},
        {"dnscrypt start a b c", "dnscrypt", true, "dnscrypt", "",
         Args{path("dnscrypt-proxy"), "a", "b", "c"}},
        {"dnscrypt stop", "dnscrypt", true, "dnscrypt", "", {}},
        {"dnscrypt stop x", "dnscrypt", true, "dnscrypt", "", {}},

        {"firewall ipv4 enable killswitch",
         "firewall",
         false,
         "",
         "Firewall: Arguments are missed",
         {}},
        {"firewall IPV4 enable killswitch x",
         "firewall",
         false,
         "firewall-IPV4-enable-killswitch",
         "Firewall: " + arg1,
         {}},
        {"firewall bad bad bad x",
         "firewall",
         false,
         "firewall-bad-bad-bad",
         "Firewall: " + arg1,
         {}},
        {"firewall all on all x",
         "firewall",
         false,
         "firewall-all-on-all",
         "Firewall: " + arg2,
         {}},
        {"firewall ipv4 Enable all x",
         "firewall",
         false,
         "firewall-ipv4-Enable-all",
         "Firewall: " + arg2,
         {}},
        {"firewall update disable both x",
         "firewall",
         false,
         "firewall-update-disable-both",
         "Firewall: " + arg3,
         {}},
        {"firewall all enable \"all \" x",
         "firewall",
         false,
         "firewall-all-enable-all ",
         "Firewall: " + arg3,
         {}},
        {"firewall ipv6 enable killswitch x", "firewall", true, "firewall-ipv6-enable-killswitch",
         "", Args{ks, "ipv6", "enable", "killswitch", "x"}},
        {"firewall \"all\" disable dnscrypt \"a b\" c", "firewall", true,
         "firewall-all-disable-dnscrypt", "", Args{ks, "all", "disable", "dnscrypt", "a b", "c"}},

        {"killdnscryptproxy x", "killdnscryptproxy", true, "killdnscryptproxy", "",
         Platform::commandToKillProcessIfRunning("dnscrypt-proxy")},
        {"killtarq", "killtarq", true, "killtarq", "",
         Platform::commandToKillProcessIfRunning("openvpn")},
        {"killtarq x y", "killtarq", true, "killtarq", "",
         Platform::commandToKillProcessIfRunning("openvpn")},

        {"logoff", "logoff", true, "logoff", "", Args{path("logoff.sh")}},
        {"logoff x y", "logoff", true, "logoff", "", Args{path("logoff.sh")}},

        {"setdns", "setdns", false, "setdns", "Setdns: Arguments are missed", {}},
        {"setdns a", "setdns", false, "setdns", "Setdns: Arguments are missed", {}},
        {"setdns a b", "setdns", true, "setdns", "",
         Args{path("setdns.sh"), "-setdnsservers", "a", "b"}},
        {"setdns a,b c d", "setdns", true, "setdns", "",
         with({path("setdns.sh"), "-setdnsservers"}, {"a,b", "c", "d"})},

        {"starttarq a b", "starttarq", false, "openvpn", "Starttarq: Arguments are missed", {}},
        {"starttarq \"/x y/c.ovpn\" pw log", "starttarq", true, "openvpn", "", openvpn},
        {"starttarq \"/x y/c.ovpn\" pw log d", "starttarq", true, "openvpn", "", openvpn},

        {"stoptarq", "stoptarq", true, "stoptarq", "", {}},
        {"stoptarq x", "stoptarq", true, "stoptarq", "", {}},
    };
}

} // namespace

TEST(CommandsKeyword, ValidationReplyNameAndArguments) {
    std::uint64_t id = 0;
    for (const auto& c : keywordCases()) {
        SCOPED_TRACE("command line '" + c.commandLine + "'");
        ++id;
        LogCapture log;
        std::unique_ptr<Command> command(
            Commands::findCommand(std::to_string(id) + "," + c.commandLine));
        ASSERT_NE(command, nullptr);
        EXPECT_EQ(command->name(), c.name);
        EXPECT_EQ(command->objectName(), Command::capitalize(c.name));
        EXPECT_EQ(command->isValid(), c.valid);
        EXPECT_EQ(command->commandState(true, 0),
                  std::to_string(id) + "," + c.replyName + "::STARTED::status::0");

        std::vector<std::string> errors;
        for (const auto& r : log.records())
            if (r.severity == boost::log::trivial::error)
                errors.push_back(r.message);
        EXPECT_EQ(errors,
                  c.error.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.error});
        EXPECT_EQ(log.records().size(), errors.size());

        if (c.valid && c.args) {
            EXPECT_EQ(argumentsOf(*command), c.args);
        }
    }
}

TEST(CommandsKeyword, InvalidCommandRunsNothingSilently) {
    std::uint64_t id = 0;
    for (const auto& c : keywordCases()) {
        ++id;
        if (c.valid)
            continue;
        SCOPED_TRACE("command line '" + c.commandLine + "'");
        std::unique_ptr<Command> command(
            Commands::findCommand(std::to_string(id) + "," + c.commandLine));
        ASSERT_NE(command, nullptr);
        LogCapture log;
        EXPECT_FALSE(Commands::runCommand(command.get(), nullptr));
        EXPECT_TRUE(log.messages().empty());
    }
}

TEST(CommandsKeyword, StopsWithoutJobGetNoReply) {
    LogCapture log;
    std::unique_ptr<Command> stopTarq(Commands::findCommand("1,stoptarq"));
    ASSERT_NE(stopTarq, nullptr);
    EXPECT_FALSE(stopTarq->run(nullptr));

    std::unique_ptr<Command> stopDns(Commands::findCommand("2,dnscrypt stop x"));
    ASSERT_NE(stopDns, nullptr);
    EXPECT_FALSE(stopDns->run(nullptr));

    std::vector<std::string> own;
    for (const auto& m : log.messages())
        if (m.rfind("Stoptarq: ", 0) == 0 || m.rfind("Dnscrypt: ", 0) == 0)
            own.push_back(m);
    EXPECT_EQ(own, std::vector<std::string>{"Dnscrypt: Process not running"});
}
