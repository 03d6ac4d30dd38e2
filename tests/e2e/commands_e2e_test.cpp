// Each keyword from request to the program's argument vector and back to the status replies.

#include "tests/e2e/e2e_fixture.h"

#include <ostream>

namespace TarqSe::E2e {
namespace {

struct KeywordCase {
    const char* label;
    std::string request;
    // The helper that must have been started, and its argument vector ("@name" lies in the
    // program directory); no helper for the kill jobs, which run /bin/bash.
    std::string program;
    std::vector<std::string> argv;
    std::vector<std::string> replies;
    // The record of the argument vector, where no helper shows it.
    std::string record;
};

void PrintTo(const KeywordCase& c, std::ostream* os) {
    *os << c.label;
}

const KeywordCase keyword_cases[] = {
    {"setdns",
     "1,setdns a b c",
     "setdns.sh",
     {"@setdns.sh", "-setdnsservers", "a", "b", "c"},
     {started(1, "setdns"), finished(1, "setdns", 0)},
     {}},
    {"setdns_tabs_and_quotes",
     "1,setdns\t8.8.8.8  \"1.1.1.1 9.9.9.9\"",
     "setdns.sh",
     {"@setdns.sh", "-setdnsservers", "8.8.8.8", "1.1.1.1 9.9.9.9"},
     {started(1, "setdns"), finished(1, "setdns", 0)},
     {}},
    {"id_minus_one_wraps_to_the_largest_id",
     "-1,setdns a b",
     "setdns.sh",
     {"@setdns.sh", "-setdnsservers", "a", "b"},
     {"18446744073709551615,setdns::STARTED::status::0",
      "18446744073709551615,setdns::FINISHED::status::0"},
     {}},
    {"dnschecker_drops_the_third_argument",
     "1,dnschecker a b c",
     "dnschecker.sh",
     {"@dnschecker.sh", "a", "b"},
     {started(1, "dnschecker"), finished(1, "dnschecker", 0)},
     {}},
    {"firewall",
     "1,firewall ipv6 enable killswitch x \"y z\"",
     "killswitch.sh",
     {"@killswitch.sh", "ipv6", "enable", "killswitch", "x", "y z"},
     {started(1, "firewall-ipv6-enable-killswitch"),
      finished(1, "firewall-ipv6-enable-killswitch", 0)},
     {}},
    {"logoff_ignores_arguments",
     "1,logoff now",
     "logoff.sh",
     {"@logoff.sh"},
     {started(1, "logoff"), finished(1, "logoff", 0)},
     {}},
    {"starttarq_quoted_config_path",
     "1,starttarq \"/etc/tarq/my vpn.conf\" /run/tarq/pass /var/log/tarq/openvpn.log extra",
     "openvpn",
     {"@openvpn", "--config", "/etc/tarq/my vpn.conf", "--management", "localhost", "7505",
      "/run/tarq/pass", "--management-query-passwords", "--management-client", "--management-hold",
      "--log-append", "/var/log/tarq/openvpn.log"},
     {started(1, "openvpn"), finished(1, "openvpn", 0)},
     {}},
    {"dnscrypt_start",
     "1,dnscrypt start -config /etc/dnscrypt.toml -syslog",
     "dnscrypt-proxy",
     {"@dnscrypt-proxy", "-config", "/etc/dnscrypt.toml", "-syslog"},
     {started(1, "dnscrypt"), finished(1, "dnscrypt", 0)},
     {}},
    {"killtarq_with_nothing_to_kill",
     "1,killtarq ignored",
     "",
     {},
     {started(1, "killtarq"), finished(1, "killtarq", 0)},
     "Killtarq: Start command with args: '/bin/bash','-c','killall openvpn ; exit 0'"},
    {"killdnscryptproxy_with_nothing_to_kill",
     "1,killdnscryptproxy",
     "",
     {},
     {started(1, "killdnscryptproxy"), finished(1, "killdnscryptproxy", 0)},
     "Killdnscryptproxy: Start command with args: '/bin/bash','-c','killall dnscrypt-proxy ; "
     "exit 0'"},
};

class E2eKeyword : public DaemonTest, public ::testing::WithParamInterface<KeywordCase> {};

TEST_P(E2eKeyword, StartsItsProgramWithItsArgumentsAndReportsStartAndEnd) {
    const KeywordCase& c = GetParam();
    ASSERT_TRUE(startDaemon());
    WsClient* client = connect();
    ASSERT_NE(client, nullptr);

    EXPECT_EQ(exchange(*client, c.request, c.replies.size()), c.replies);
    if (!c.program.empty()) {
        const auto calls = dir().waitForCalls(c.program, 1);
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0], inDir(c.argv));
    }
    if (!c.record.empty()) {
        EXPECT_TRUE(hasRecord(c.record));
    }
}

INSTANTIATE_TEST_SUITE_P(Keywords, E2eKeyword, ::testing::ValuesIn(keyword_cases),
                         [](const auto& info) { return std::string(info.param.label); });

using E2eExitCode = DaemonTest;

TEST_F(E2eExitCode, TheProgramsExitStatusOrSignalIsTheFinishedCode) {
    const struct {
        const char* behaviour;
        int code;
    } cases[] = {
        {"exit 3", 3},     {"exit 255", 255},       {"signal 15", 15},
        {"signal 11", 11}, {"sleep 300 exit 7", 7},
    };
    ASSERT_TRUE(startDaemon());
    WsClient* client = connect();
    ASSERT_NE(client, nullptr);

    std::uint64_t id = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.behaviour);
        dir().setBehaviour("setdns.sh", c.behaviour);
        ++id;
        EXPECT_EQ(exchange(*client, std::to_string(id) + ",setdns a b", 2),
                  quickJob(id, "setdns", c.code));
    }
}

// A program directory whose path holds a blank: the one-element vectors of the start-up script
// and of logoff must still run exactly that path.
class E2eBlankProgramDir : public DaemonTest {
protected:
    E2eBlankProgramDir() : DaemonTest(true) {}
};

TEST_F(E2eBlankProgramDir, OneElementVectorsRunTheWholePath) {
    ASSERT_NE(dir().path().find(' '), std::string::npos);
    ASSERT_TRUE(startDaemon());
    EXPECT_EQ(dir().waitForCalls("aliases.sh", 1),
              (std::vector<std::vector<std::string>>{{dir().file("aliases.sh")}}));

    WsClient* client = connect();
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(exchange(*client, "1,logoff", 2), quickJob(1, "logoff"));
    EXPECT_EQ(dir().waitForCalls("logoff.sh", 1),
              (std::vector<std::vector<std::string>>{{dir().file("logoff.sh")}}));
    EXPECT_EQ(exchange(*client, "2,setdns a b", 2), quickJob(2, "setdns"));
}

} // namespace
} // namespace TarqSe::E2e
