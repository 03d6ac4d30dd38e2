#include "registryfixture.h"
#include "tests/support/descriptorlimit.h"

#include "commands/commands.h"

#include <boost/process/async.hpp>
#include <boost/system/system_error.hpp>
#include <boost/throw_exception.hpp>

#include <fcntl.h>

namespace TarqSe::Test {
namespace {

using Replies = std::vector<std::string>;

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

std::size_t registryRecordsStartingWith(const LogCapture& log, const std::string& prefix) {
    std::size_t n = 0;
    for (const auto& message : log.messages())
        n += message.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
}

TEST_F(RegistryTest, StartThatFailsRegistersNothingAndLeavesNoZombie) {
    struct Case {
        const char* name;
        const char* content; // null: no file at all
        mode_t mode;
        const char* error;
    };
    const Case cases[] = {
        {"missing", nullptr, 0, "No such file or directory"},
        {"not-executable.sh", "#!/bin/sh\nexit 0\n", 0644, "Permission denied"},
        {"no-interpreter", "not a program\n", 0755, "Exec format error"},
    };
    startAll();
    std::uint64_t id = 0;
    for (const auto& c : cases) {
        const std::string path = m_dir + "/" + c.name;
        if (c.content) {
            std::ofstream(path) << c.content;
            ::chmod(path.c_str(), c.mode);
        }
        const std::string record = "ChildProcess: Cannot start '" + path + "': " + c.error;
        for (const bool detached : {false, true}) {
            m_log.clear();
            const bool started = detached ? ChildProcess::runChildProcessDetached({path, "arg"})
                                          : startJob(++id, "starttarq", {path, "arg"}, "openvpn");
            EXPECT_FALSE(started) << c.name;
            EXPECT_EQ(m_log.count(record), 1u) << c.name;
            for (const auto& r : m_log.records()) {
                if (r.message == record) {
                    EXPECT_EQ(r.severity, boost::log::trivial::error);
                }
            }
            EXPECT_EQ(registryRecordsStartingWith(m_log, "ChildProcess: Start command"), 0u);
            EXPECT_TRUE(zombieChildren().empty()) << c.name;
            EXPECT_FALSE(ChildProcess::processExists("starttarq")) << c.name;
        }
    }

    // Nothing is left behind that would block the next start. (Not named openvpn: another
    // suite may stop that name with killall at any moment.)
    const std::string good = writeScript("vpn-start.sh", "exit 0");
    ASSERT_TRUE(startJob(50, "starttarq", {good, "arg"}, "openvpn"));
    ASSERT_TRUE(waitForReply(finishedReply(50, "openvpn", 0)));
    for (std::uint64_t failed = 1; failed <= id; ++failed)
        EXPECT_TRUE(repliesOf(failed).empty()) << failed;
}

// Any local process can use up the daemon's descriptors by holding connections. A start that
// then gets no process is refused like any other failed start, and the registry is left as it
// was: the next start works once descriptors are free.
TEST_F(RegistryTest, StartWithoutAFreeDescriptorFailsAndTheNextOneWorks) {
    const std::string script = writeScript("vpn-start.sh", "exit 0");
    const std::string record = "ChildProcess: Cannot start '" + script + "': Too many open files";
    startAll();
    // The sanitizers check each dynamic type the first time they meet it, and that check needs
    // a descriptor, so they meet them all before the limit: a start that names no program goes
    // the same way up to the spawn; another context's exit watching is set up and gone again,
    // and the library's error thrown once, so that this context's first start still sets the
    // watching up and throws.
    std::uint64_t id = 1;
    EXPECT_FALSE(startJob(id, "starttarq", {}, "openvpn"));
    {
        boost::asio::io_context other;
        boost::asio::use_service<boost::process::detail::posix::sigchld_service>(other);
    }
    try {
        boost::throw_exception(boost::system::system_error(boost::asio::error::no_descriptors));
    } catch (const boost::system::system_error& e) {
        EXPECT_TRUE(e.code());
    }
    std::vector<std::uint64_t> failed;
    // The first start of a registered job also sets up the exit watching, which throws without
    // a descriptor; later ones fail inside the spawn without saying so.
    for (const char* when : {"first start", "later start"}) {
        for (const bool detached : {false, true}) {
            SCOPED_TRACE(std::string(when) + (detached ? ", detached" : ", registered"));
            m_log.clear();
            failed.push_back(++id);
            {
                DescriptorLimit limit;
                const bool started = detached
                                         ? ChildProcess::runChildProcessDetached({script, "arg"})
                                         : startJob(id, "starttarq", {script, "arg"}, "openvpn");
                EXPECT_FALSE(started);
            }
            EXPECT_EQ(m_log.count(record), 1u) << ::testing::PrintToString(m_log.messages());
            EXPECT_EQ(registryRecordsStartingWith(m_log, "ChildProcess: Start command"), 0u);
            EXPECT_FALSE(ChildProcess::processExists("starttarq"));
            EXPECT_TRUE(childrenOfThisProcess().empty());

            ++id;
            if (detached) {
                EXPECT_TRUE(ChildProcess::runChildProcessDetached({script, "arg"}));
            } else {
                ASSERT_TRUE(startJob(id, "starttarq", {script, "arg"}, "openvpn"));
                EXPECT_TRUE(waitForReply(finishedReply(id, "openvpn", 0)));
            }
            EXPECT_TRUE(waitUntil([] { return childrenOfThisProcess().empty(); }));
        }
    }
    // The failed starts were never reported.
    for (const std::uint64_t unreported : failed)
        EXPECT_TRUE(repliesOf(unreported).empty()) << unreported;
}

// A script missing from the program directory is named, not left as an empty path.
TEST_F(RegistryTest, MissingScriptIsNamed) {
    startAll();
    for (const auto& [request, script] :
         {std::pair{"1,setdns 1.1.1.1 9.9.9.9", "setdns.sh"}, std::pair{"2,logoff", "logoff.sh"},
          std::pair{"3,dnschecker a b", "dnschecker.sh"},
          std::pair{"4,dnscrypt start a b", "dnscrypt-proxy"}}) {
        m_log.clear();
        Daemon::Command* command = Daemon::Commands::findCommand(request);
        ASSERT_NE(command, nullptr) << request;
        EXPECT_FALSE(command->run(nullptr)) << request;
        delete command;
        const std::string record =
            std::string("ChildProcess: Cannot start '") + script + "': No such file or directory";
        EXPECT_EQ(m_log.count(record), 1u) << ::testing::PrintToString(m_log.messages());
        for (const auto& r : m_log.records())
            if (r.message == record) {
                EXPECT_EQ(r.severity, boost::log::trivial::error);
            }
    }
}

TEST_F(RegistryTest, ProgramIsExactlyElementZero) {
    startAll();
    // An installed program directory may hold a blank; a program that shares its first part
    // must never run in its place.
    const std::string decoyMark = m_dir + "/decoy-ran";
    writeScript("x", "echo \"$@\" >> '" + decoyMark + "'");
    const std::string mark = m_dir + "/logoff-ran";
    const std::string logoff =
        writeScript("x y/logoff.sh", "printf '%s|%s\\n' \"$#\" \"$*\" >> '" + mark + "'");

    ASSERT_TRUE(startJob(1, "logoff", {logoff}));
    ASSERT_TRUE(waitForReply(finishedReply(1, "logoff", 0)));
    ASSERT_TRUE(ChildProcess::runChildProcessDetached({logoff}));
    ASSERT_TRUE(waitUntil([&] { return readFile(mark) == "0|\n0|\n"; })) << readFile(mark);

    // Arguments go over one for one, blanks and quotes included.
    std::filesystem::remove(mark);
    ASSERT_TRUE(startJob(2, "logoff", {logoff, "a b  c", "\"q\"", ""}));
    ASSERT_TRUE(waitForReply(finishedReply(2, "logoff", 0)));
    EXPECT_EQ(readFile(mark), "3|a b  c \"q\" \n");
    EXPECT_FALSE(std::filesystem::exists(decoyMark));

    // A bare name is never looked up in PATH.
    EXPECT_FALSE(startJob(3, "logoff", {"true"}));
    EXPECT_EQ(m_log.count("ChildProcess: Cannot start 'true': No such file or directory"), 1u);
}

TEST_F(RegistryTest, DetachedStartIsReapedByThePoll) {
    const std::string script = writeScript("aliases.sh", "exit 0");
    ASSERT_TRUE(ChildProcess::runChildProcessDetached({script}));
    const auto pid = pidOf(script);
    ASSERT_TRUE(pid);
    // Nobody else waits for it: it stays a zombie until a poll.
    ASSERT_TRUE(waitUntil([&] { return isZombie(*pid); }));
    EXPECT_FALSE(ChildProcess::processExists("aliases"));

    ChildProcess::checkProcessList(false);
    EXPECT_TRUE(processGone(*pid));
    // No entry, so no reply and no other record.
    EXPECT_EQ(registryRecordsStartingWith(m_log, "ChildProcess: "), 1u);
}

TEST_F(RegistryTest, ChildInheritsStandardStreamsEnvironmentAndDirectoryOnly) {
    // A descriptor of the daemon opened without close-on-exec.
    const int fd = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    const int leaked = 57;
    ASSERT_EQ(::dup2(fd, leaked), leaked);
    ::close(fd);
    ::setenv("TARQ_REGISTRY_TEST", "inherited", 1);
    const std::string cwd = std::filesystem::current_path().string();

    const std::string result = m_dir + "/detached-result";
    const std::string body = "[ -e /proc/$$/fd/" + std::to_string(leaked) +
                             " ] && code=1\n"
                             "[ \"$TARQ_REGISTRY_TEST\" = inherited ] || code=2\n"
                             "[ \"$(pwd -P)\" = '" +
                             cwd +
                             "' ] || code=3\n"
                             "for s in 0 1 2; do [ -e /proc/$$/fd/$s ] || code=4; done\n"
                             "[ -n \"$1\" ] && echo \"${code:-0}\" > \"$1\"\n"
                             "exit ${code:-0}";
    const std::string script = writeScript("inherit.sh", body);

    startAll();
    ASSERT_TRUE(startJob(1, "job", {script}));
    ASSERT_TRUE(waitUntil([this] { return repliesOf(1).size() == 2; }));
    EXPECT_EQ(repliesOf(1), (Replies{startedReply(1, "job"), finishedReply(1, "job", 0)}));

    ASSERT_TRUE(ChildProcess::runChildProcessDetached({script, result}));
    ASSERT_TRUE(waitUntil([&] { return readFile(result) == "0\n"; })) << readFile(result);
    ::close(leaked);
    ::unsetenv("TARQ_REGISTRY_TEST");
}

} // namespace
} // namespace TarqSe::Test
