// Requests the daemon refuses get no reply at all, and the daemon goes on serving.

#include "tests/e2e/e2e_fixture.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

namespace TarqSe::E2e {
namespace {

using namespace std::string_literals;

struct Primer {
    std::string request;
    std::vector<std::string> replies;
};

struct RefusalCase {
    const char* label;
    std::function<void(const ProgramDir&)> prepare;
    std::vector<Primer> primers;
    std::string refused;
    // The record that shows the daemon saw the request and why it refused it, and one that must
    // follow it, if any.
    std::string record;
    std::string then = {};
    // The helper the refused request would start, if any, and how often the primers started it.
    std::string program = {};
    std::size_t starts = 0;
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
const auto notExecutable = [](const char* program) {
    return [program](const ProgramDir& d) { d.setMode(program, 0644); };
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
     {},
     "openvpn",
     1},
    {"second_logoff_while_one_runs",
     waits("logoff.sh"),
     {{"1,logoff", {started(1, "logoff")}}},
     "2,logoff",
     "CommandThread: New command: '2,logoff'",
     {},
     "logoff.sh",
     1},
    // A program gets its arguments as C strings: the NUL would cut the line short unseen.
    {"command_line_with_a_nul",
     nothing,
     {},
     "5,setdns 1.1.1.1 2.2.2.2\0;id"s,
     "Commands: Command line holds a NUL character",
     wrong,
     "setdns.sh"},
    {"setdns_script_missing",
     missing("setdns.sh"),
     {},
     "1,setdns a b",
     "Setdns: Start command with args: '','-setdnsservers','a','b'",
     "ChildProcess: Cannot start 'setdns.sh': No such file or directory"},
    {"logoff_script_missing",
     missing("logoff.sh"),
     {},
     "1,logoff",
     "Logoff: Start command with args: ''",
     "ChildProcess: Cannot start 'logoff.sh': No such file or directory"},
    {"logoff_script_not_executable",
     notExecutable("logoff.sh"),
     {},
     "1,logoff",
     "Logoff: Start command with args: ''",
     "ChildProcess: Cannot start 'logoff.sh': Permission denied",
     "logoff.sh"},
    {"dnscrypt_proxy_missing",
     missing("dnscrypt-proxy"),
     {},
     "1,dnscrypt start a b",
     "Dnscrypt: Start command with args: '','a','b'",
     "ChildProcess: Cannot start 'dnscrypt-proxy': No such file or directory"},
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
    if (!c.program.empty()) {
        ASSERT_EQ(dir().waitForCalls(c.program, c.starts).size(), c.starts);
    }

    ASSERT_TRUE(client->send(c.refused));
    EXPECT_TRUE(client->quiet()) << "a reply to '" << c.refused << "'";
    EXPECT_TRUE(hasRecord(c.record));
    if (!c.then.empty()) {
        EXPECT_TRUE(hasRecord(c.then));
        const auto records = daemon().records();
        EXPECT_GT(findRecord(records, c.then), findRecord(records, c.record)) << daemon().output();
    }

    // Served afterwards, and nothing of the refused request came in between.
    EXPECT_EQ(exchange(*client, "100,dnschecker x y", 2), quickJob(100, "dnschecker"));
    if (!c.program.empty()) {
        EXPECT_EQ(dir().calls(c.program).size(), c.starts);
    }
}

INSTANTIATE_TEST_SUITE_P(Requests, E2eRefusal, ::testing::ValuesIn(refusal_cases),
                         [](const auto& info) { return std::string(info.param.label); });

// A start that gets no process: no reply, no phantom job and no zombie, one error record naming
// the program and why. The same request works before, and again once the cause is gone.
enum class Cause { Missing, NotExecutable, NoDescriptorFree };

struct SpawnFailureCase {
    const char* label;
    const char* program;
    Cause cause;
    const char* request; // without the id
    const char* replyName;
    const char* why;
};

void PrintTo(const SpawnFailureCase& c, std::ostream* os) {
    *os << c.label;
}

const char* const no_descriptor = "Too many open files";

const SpawnFailureCase spawn_failure_cases[] = {
    {"openvpn_missing", "openvpn", Cause::Missing, "starttarq a b c", "openvpn",
     "No such file or directory"},
    {"openvpn_not_executable", "openvpn", Cause::NotExecutable, "starttarq a b c", "openvpn",
     "Permission denied"},
    {"killswitch_missing", "killswitch.sh", Cause::Missing, "firewall all enable all x",
     "firewall-all-enable-all", "No such file or directory"},
    // The process library needs descriptors of its own before it forks.
    {"openvpn_no_descriptor_free", "openvpn", Cause::NoDescriptorFree, "starttarq a b c", "openvpn",
     no_descriptor},
    {"logoff_no_descriptor_free", "logoff.sh", Cause::NoDescriptorFree, "logoff", "logoff",
     no_descriptor},
};

class E2eSpawnFailure : public DaemonTest,
                        public ::testing::WithParamInterface<SpawnFailureCase> {};

TEST_P(E2eSpawnFailure, IsSilentAndLeavesNothingBehind) {
    const SpawnFailureCase& c = GetParam();
    ASSERT_TRUE(startDaemon());
    // Connected before the squeeze: the session needs no new descriptor to be served.
    WsClient* client = connect();
    ASSERT_NE(client, nullptr);
    // The sanitized build needs this first run too: the vptr check of UBSan opens a pipe the
    // first time it meets a type, and without a free descriptor takes it for a corrupt object.
    EXPECT_EQ(exchange(*client, std::string("1,") + c.request, 2), quickJob(1, c.replyName));
    ASSERT_EQ(dir().waitForCalls(c.program, 1).size(), 1u);

    std::optional<DescriptorSqueeze> squeeze;
    if (c.cause == Cause::Missing) {
        dir().remove(c.program);
    } else if (c.cause == Cause::NotExecutable) {
        dir().setMode(c.program, 0644);
    } else {
        squeeze.emplace(daemon().pid());
        ASSERT_TRUE(squeeze->engaged()) << "cannot take the daemon's free descriptors";
    }
    const long from = static_cast<long>(daemon().records().size());
    ASSERT_TRUE(client->send(std::string("2,") + c.request));
    EXPECT_TRUE(client->quiet());
    const std::string failure =
        std::string("ChildProcess: Cannot start '") + dir().file(c.program) + "': " + c.why;
    EXPECT_TRUE(daemon().waitForRecord(failure, false, reply_wait, from)) << daemon().output();
    const auto records = daemon().records();
    const long at = findRecord(records, failure, false, from);
    if (at >= 0) {
        EXPECT_EQ(records[at].severity, "error");
    }
    EXPECT_EQ(findRecord(records, "ChildProcess: Cannot start ", true, std::max(at + 1, from)), -1)
        << daemon().output();
    EXPECT_EQ(dir().calls(c.program).size(), 1u);
    EXPECT_TRUE(waitUntil([&] { return zombieChildren(daemon().pid()).empty(); }, reply_wait))
        << "the failed child stays a zombie";

    if (squeeze)
        squeeze->restore();
    else
        dir().install(c.program);
    EXPECT_EQ(exchange(*client, std::string("3,") + c.request, 2), quickJob(3, c.replyName));
    EXPECT_EQ(dir().waitForCalls(c.program, 2).size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Programs, E2eSpawnFailure, ::testing::ValuesIn(spawn_failure_cases),
                         [](const auto& info) { return std::string(info.param.label); });

} // namespace
} // namespace TarqSe::E2e
