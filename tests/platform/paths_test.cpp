#include "daemon/platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include <unistd.h>

using TarqSe::Daemon::Platform;
namespace fs = std::filesystem;

namespace {

// The directory of the running test binary, read independently of the code under test.
fs::path testBinaryDir() {
    return fs::read_symlink("/proc/self/exe").parent_path();
}

void writeScript(const fs::path& path, fs::perms perms) {
    std::ofstream(path) << "#!/bin/sh\nexit 0\n";
    fs::permissions(path, perms);
}

constexpr auto exec_perms = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec;
constexpr auto plain_perms =
    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read;

// What a case puts where; the program directory is the test binary's own directory, so every
// fixture there gets a name unique to this process and is removed afterwards.
enum class Fixture {
    Missing,
    Executable,
    NoExecuteBit,
    Directory,
    LinkToExecutable,
    DanglingLink,
    OnlyInPathDir,
    OnlyInWorkingDir,
};

struct LookupCase {
    const char* label;
    Fixture fixture;
    bool found;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const LookupCase& c, std::ostream* os) {
    *os << c.label;
}

class FullPathToExecutable : public testing::TestWithParam<LookupCase> {
protected:
    void SetUp() override {
        m_programDir = testBinaryDir();
        m_name = "tarq-platform-" + std::to_string(::getpid()) + "-setdns.sh";
        char pattern[] = "/tmp/tarq-platform-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_outside = pattern;
        m_oldCwd = fs::current_path();
        if (const char* path = std::getenv("PATH"))
            m_oldPath = path;
    }
    void TearDown() override {
        std::error_code ec;
        fs::current_path(m_oldCwd, ec);
        ::setenv("PATH", m_oldPath.c_str(), 1);
        fs::remove_all(m_programDir / m_name, ec);
        fs::remove_all(m_outside, ec);
    }

    void make(Fixture fixture) {
        const fs::path inProgramDir = m_programDir / m_name;
        switch (fixture) {
        case Fixture::Missing:
            break;
        case Fixture::Executable:
            writeScript(inProgramDir, exec_perms);
            break;
        case Fixture::NoExecuteBit:
            writeScript(inProgramDir, plain_perms);
            break;
        case Fixture::Directory:
            fs::create_directory(inProgramDir);
            fs::permissions(inProgramDir, exec_perms);
            break;
        case Fixture::LinkToExecutable:
            writeScript(m_outside / "target.sh", exec_perms);
            fs::create_symlink(m_outside / "target.sh", inProgramDir);
            break;
        case Fixture::DanglingLink:
            fs::create_symlink(m_outside / "missing.sh", inProgramDir);
            break;
        case Fixture::OnlyInPathDir:
            writeScript(m_outside / m_name, exec_perms);
            ::setenv("PATH", (m_outside.string() + ":" + m_oldPath).c_str(), 1);
            break;
        case Fixture::OnlyInWorkingDir:
            writeScript(m_outside / m_name, exec_perms);
            fs::current_path(m_outside);
            break;
        }
    }

    fs::path m_programDir;
    fs::path m_outside;
    fs::path m_oldCwd;
    std::string m_name;
    std::string m_oldPath;
};

TEST_P(FullPathToExecutable, FindsOnlyExecutableRegularFilesInProgramDir) {
    const LookupCase& c = GetParam();
    make(c.fixture);
    const std::string expected = c.found ? (m_programDir / m_name).string() : std::string();
    EXPECT_EQ(Platform::fullPathToExecutable(m_name), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FullPathToExecutable,
    testing::Values(LookupCase{"Missing", Fixture::Missing, false},
                    LookupCase{"Executable", Fixture::Executable, true},
                    LookupCase{"NoExecuteBit", Fixture::NoExecuteBit, false},
                    LookupCase{"Directory", Fixture::Directory, false},
                    LookupCase{"LinkToExecutableGivesLinkPath", Fixture::LinkToExecutable, true},
                    LookupCase{"DanglingLink", Fixture::DanglingLink, false},
                    LookupCase{"OnlyInPathDir", Fixture::OnlyInPathDir, false},
                    LookupCase{"OnlyInWorkingDir", Fixture::OnlyInWorkingDir, false}),
    [](const testing::TestParamInfo<LookupCase>& info) { return std::string(info.param.label); });

TEST(FullPathToExecutableName, EmptyNameGivesEmptyPath) {
    // The candidate would be the program directory itself.
    EXPECT_EQ(Platform::fullPathToExecutable(""), "");
}

TEST(ProgramLocationDir, IsTheRunningBinarysDirectoryWithoutTrailingSeparator) {
    const std::string dir = Platform::programLocationDir();
    EXPECT_EQ(dir, testBinaryDir().string());
    ASSERT_GT(dir.size(), 1u);
    EXPECT_NE(dir.back(), '/');
    EXPECT_EQ(Platform::programLocationDir(), dir);
}

TEST(FixedPaths, AreProgramDirPlusNameWithoutTestingTheFile) {
    const std::string dir = testBinaryDir().string();
    ASSERT_FALSE(fs::exists(dir + "/openvpn"));
    ASSERT_FALSE(fs::exists(dir + "/killswitch.sh"));
    EXPECT_EQ(Platform::openVpnPath(), dir + "/openvpn");
    EXPECT_EQ(Platform::killSwitchArgs(), std::vector<std::string>{dir + "/killswitch.sh"});
}

TEST(CommandToKillProcessIfRunning, IsBashRunningKillallThenExitZero) {
    const struct {
        const char* name;
        const char* script;
    } cases[] = {
        {"openvpn", "killall openvpn ; exit 0"},
        {"dnscrypt-proxy", "killall dnscrypt-proxy ; exit 0"},
        {"", "killall  ; exit 0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Platform::commandToKillProcessIfRunning(c.name),
                  (std::vector<std::string>{"/bin/bash", "-c", c.script}));
    }
}

TEST(ToWideStringVector, CopiesEveryElementUnchanged) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"/bin/prog"},
        {"/dir with blank/prog", " lead", "trail ", "a\tb"},
        {"/bin/prog", "\"quoted arg\"", "'single'", "", "\\"},
    };
    for (const auto& args : cases)
        EXPECT_EQ(Platform::toWideStringVector(args), args);
}

} // namespace
