// Requests the daemon refuses get no reply at all, and the daemon goes on serving.

#include "tests/e2e/e2e_fixture.h"

#include <functional>
#include <ostream>

namespace TarqSe::E2e {
namespace {

struct Primer {
    std::string request;
    std::vector<std::string> replies;
};

struct RefusalCase {
    const char* label;
    std::function<void(const ProgramDir&)> prepare;
    std::vector<Primer> primers;
    std::string refused;
    // The record that shows the daemon saw the request and why it refused it.
    std::string record;
    // A helper that must have been started exactly once (by the primer), if any.
    std::string startedOnce = {};
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.label;
}

const auto nothing = [](const ProgramDir&) {};
const auto waits = [](const char* program) {
    return [program](const ProgramDir& d) { d.setBehaviour(program, "wait"); };
};
const auto missing = [](const char* program) {
    return [program](const ProgramDir& d) { d.remove(program); };
};

const char* const cannot_parse = "Commands: Cannot parse request";
const char* const repeated = "Commands: Last messageId is equal current messageId";
const char* const wrong = "CommandThread: Wrong command, skipping";

const RefusalCase refusal_cases[] = {
    {"no_comma", nothing, {}, "setdns a b", cannot_parse},
    {"comma_last", nothing, {}, "5,", cannot_parse},
    {"empty_id", nothing, {}, ",setdns a b", cannot_parse},
    {"id_of_letters", nothing, {}, "abc,setdns a b", cannot_parse},
    {"id_over_64_bits", nothing, {}, "99999999999999999999,setdns a b", cannot_parse},
    {"first_id_0", nothing, {}, "0,setdns a b", repeated},
    {"repeated_id",
     nothing,
     {{"1,setdns a b", {started(1, "setdns"), finished(1, "setdns", 0)}}},
     "1,setdns a b",
     repeated},
    {"id_of_an_invalid_command_repeated", nothing, {{"1,setdns a", {}}}, "1,setdns a b", repeated},
    {"unknown_keyword", nothing, {}, "1,resolve a b", wrong},
    {"keyword_in_another_case", nothing, {}, "1,Setdns a b", wrong},
    {"keyword_with_a_line_feed", nothing, {}, "1,logoff\n", wrong},
    {"blanks_only", nothing, {}, "1, \t ", wrong},
    {"setdns_one_argument", nothing, {}, "1,setdns a", "Setdns: Arguments are missed"},
    {"dnschecker_one_argument", nothing, {}, "1,dnschecker a", "Dnschecker: Arguments are missed"},
    {"starttarq_two_arguments", nothing, {}, "1,starttarq a b", "Starttarq: Arguments are missed"},
    {"firewall_choices_only",
     nothing,
     {},
     "1,firewall ipv4 enable killswitch",
     "Firewall: Arguments are missed"},
    {"firewall_choice_1",
     nothing,
     {},
     "1,firewall IPV4 enable killswitch x",
     "Firewall: Argument 1 (m_tokens[1]) is incorrect. Expected {ipv4|ipv6|all|update}"},
    {"firewall_choice_2",
     nothing,
     {},
     "1,firewall all on all x",
     "Firewall: Argument 2 (m_tokens[2]) is incorrect. Expected {enable|disable}"},
    {"firewall_choice_3",
     nothing,
     {},
     "1,firewall update disable both x",
     "Firewall: Argument 3 (m_tokens[3]) is incorrect. Expected {killswitch|dnscrypt|all}"},
    {"dnscrypt_Start",
     nothing,
     {},
     "1,dnscrypt Start a b",
     "Dnscrypt: Unsupported command received: Start"},
    {"dnscrypt_alone", nothing, {}, "1,dnscrypt", "Dnscrypt: Unsupported command received: "},
    {"dnscrypt_start_one_argument",
     nothing,
     {},
     "1,dnscrypt start a",
     "Dnscrypt: Arguments are missed for 'start' command"},
    {"dnscrypt_stop_with_nothing_running",
     nothing,
     {},
     "1,dnscrypt stop",
     "Dnscrypt: Process not running"},
    {"stoptarq_with_nothing_running",
     nothing,
     {},
     "1,stoptarq",
     "CommandThread: Execute command: 'stoptarq'"},
    {"second_starttarq_while_one_runs",
     waits("openvpn"),
     {{"1,starttarq a b c", {started(1, "openvpn")}}},
     "2,starttarq a b c",
     "CommandThread: New command: '2,starttarq a b c'",
     "openvpn"},
    {"second_logoff_while_one_runs",
     waits("logoff.sh"),
     {{"1,logoff", {started(1, "logoff")}}},
     "2,logoff",
     "CommandThread: New command: '2,logoff'",
     "logoff.sh"},
    {"setdns_script_missing",
     missing("setdns.sh"),
     {},
     "1,setdns a b",
     "Setdns: Start command with args: '','-setdnsservers','a','b'"},
    {"logoff_script_missing",
     missing("logoff.sh"),
     {},
     "1,logoff",
     "Logoff: Start command with args: ''"},
    {"dnscrypt_proxy_missing",
     missing("dnscrypt-proxy"),
     {},
     "1,dnscrypt start a b",
     "Dnscrypt: Start command with args: '','a','b'"},
};

class E2eRefusal : public DaemonTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(E2eRefusal, GetsNoReplyAndTheDaemonGoesOnServing) {
    const RefusalCase& c = GetParam();
    c.prepare(dir());
    ASSERT_TRUE(startDaemon());
    WsClient* client = connect();
    ASSERT_NE(client, nullptr);

    for (const auto& primer : c.primers)
        EXPECT_EQ(exchange(*client, primer.request, primer.replies.size()), primer.replies);
    if (!c.startedOnce.empty()) {
        ASSERT_EQ(dir().waitForCalls(c.startedOnce, 1).size(), 1u);
    }

    ASSERT_TRUE(client->send(c.refused));
    EXPECT_TRUE(client->quiet()) << "a reply to '" << c.refused << "'";
    EXPECT_TRUE(hasRecord(c.record));

    // Served afterwards, and nothing of the refused request came in between.
    EXPECT_EQ(exchange(*client, "100,dnschecker x y", 2), quickJob(100, "dnschecker"));
    if (!c.startedOnce.empty()) {
        EXPECT_EQ(dir().calls(c.startedOnce).size(), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(Requests, E2eRefusal, ::testing::ValuesIn(refusal_cases),
                         [](const auto& info) { return std::string(info.param.label); });

// A program the daemon cannot execute: no reply, no phantom job and no zombie; once the program
// is in place the same request works.
struct SpawnFailureCase {
    const char* label;
    const char* program;
    bool removeIt; // else present without execute permission
    const char* request;
    const char* retry;
    const char* replyName;
};

void PrintTo(const SpawnFailureCase& c, std::ostream* os) {
    *os << c.label;
}

const SpawnFailureCase spawn_failure_cases[] = {
    {"openvpn_missing", "openvpn", true, "1,starttarq a b c", "2,starttarq a b c", "openvpn"},
    {"openvpn_not_executable", "openvpn", false, "1,starttarq a b c", "2,starttarq a b c",
     "openvpn"},
    {"killswitch_missing", "killswitch.sh", true, "1,firewall all enable all x",
     "2,firewall all enable all x", "firewall-all-enable-all"},
};

class E2eSpawnFailure : public DaemonTest,
                        public ::testing::WithParamInterface<SpawnFailureCase> {};

TEST_P(E2eSpawnFailure, IsSilentAndLeavesNothingBehind) {
    const SpawnFailureCase& c = GetParam();
    if (c.removeIt)
        dir().remove(c.program);
    else
        dir().setMode(c.program, 0644);
    ASSERT_TRUE(startDaemon());
    WsClient* client = connect();
    ASSERT_NE(client, nullptr);

    ASSERT_TRUE(client->send(c.request));
    EXPECT_TRUE(client->quiet());
    // One error record under ChildProcess naming the program.
    const auto failureRecord = [&] {
        for (const auto& r : daemon().records())
            if (r.severity == "error" && r.message.rfind("ChildProcess: ", 0) == 0)
                return r.message;
        return std::string();
    };
    EXPECT_TRUE(waitUntil([&] { return !failureRecord().empty(); }, reply_wait))
        << daemon().output();
    EXPECT_NE(failureRecord().find(dir().file(c.program)), std::string::npos) << failureRecord();
    EXPECT_TRUE(waitUntil([&] { return zombieChildren(daemon().pid()).empty(); }, reply_wait))
        << "the failed child stays a zombie";

    dir().install(c.program);
    EXPECT_EQ(exchange(*client, c.retry, 2), quickJob(2, c.replyName));
    EXPECT_EQ(dir().waitForCalls(c.program, 1).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Programs, E2eSpawnFailure, ::testing::ValuesIn(spawn_failure_cases),
                         [](const auto& info) { return std::string(info.param.label); });

} // namespace
} // namespace TarqSe::E2e
