#include "daemon/platform.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using TarqSe::Daemon::Platform;

namespace {

// Exit codes of the forked child.
constexpr int clean = 0;
constexpr int leaked = 1;
constexpr int standard_stream_lost = 2;
constexpr int closed_before_exec = 3;
constexpr int setup_failed = 4;

struct DescriptorCase {
    const char* label;
    void (*prepare)();
    int expected;
};

// A descriptor number high above the usual ones, within the open-files limit.
int highDescriptor() {
    struct rlimit rl {};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY)
        return 1000;
    return rl.rlim_cur > 1001 ? 1000 : static_cast<int>(rl.rlim_cur) - 1;
}

// Forks; the child opens descriptors the way the daemon holds them (a pipe, a file, a high
// number), runs the preparation and execs a shell that reports which of them it still has.
int runChild(void (*prepare)()) {
    const int high = highDescriptor();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        int fds[2];
        if (null < 0 || ::dup2(null, 0) < 0 || ::dup2(null, 1) < 0 || ::dup2(null, 2) < 0 ||
            ::pipe(fds) != 0)
            ::_exit(setup_failed);
        const int file = ::open("/proc/self/exe", O_RDONLY);
        if (file < 0 || ::dup2(fds[1], high) < 0)
            ::_exit(setup_failed);
        const int opened[] = {null, fds[0], fds[1], file, high};
        if (prepare)
            prepare();
        for (int fd : opened) {
            const int flags = ::fcntl(fd, F_GETFD);
            if (prepare && (flags < 0 || !(flags & FD_CLOEXEC)))
                ::_exit(closed_before_exec);
        }
        const std::string script =
            "for fd in 0 1 2; do test -e /proc/self/fd/$fd || exit 2; done; for fd in " +
            std::to_string(null) + " " + std::to_string(fds[0]) + " " + std::to_string(fds[1]) +
            " " + std::to_string(file) + " " + std::to_string(high) +
            "; do test -e /proc/self/fd/$fd && exit 1; done; exit 0";
        ::execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
        ::_exit(setup_failed);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// Names the case in test output instead of dumping its bytes.
void PrintTo(const DescriptorCase& c, std::ostream* os) {
    *os << c.label;
}

class InheritedDescriptors : public testing::TestWithParam<DescriptorCase> {};

TEST_P(InheritedDescriptors, OnlyStandardStreamsSurviveExec) {
    EXPECT_EQ(runChild(GetParam().prepare), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, InheritedDescriptors,
                         testing::Values(
                             // Shows that the check sees a leak at all.
                             DescriptorCase{"WithoutMarkingTheyLeak", nullptr, leaked},
                             DescriptorCase{"CloseInheritedDescriptorsOnExec",
                                            &Platform::closeInheritedDescriptorsOnExec, clean},
                             DescriptorCase{"MarkOneByOne",
                                            &Platform::markDescriptorsCloseOnExecOneByOne, clean}),
                         [](const testing::TestParamInfo<DescriptorCase>& info) {
                             return std::string(info.param.label);
                         });

} // namespace

namespace {

// Forks; the child ignores SIGPIPE as the daemon does, runs the preparation and execs a shell
// that exits 1 when SIGPIPE is still ignored.
int sigpipeIgnoredAfterExec(void (*prepare)()) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        Platform::initialize();
        if (prepare)
            prepare();
        // SigIgn is a hexadecimal mask; SIGPIPE (13) is bit 12.
        ::execl("/bin/sh", "sh", "-c",
                "mask=$(sed -n 's/^SigIgn:[[:space:]]*//p' /proc/self/status); "
                "[ $(( 0x$mask & 0x1000 )) -ne 0 ] && exit 1; exit 0",
                static_cast<char*>(nullptr));
        ::_exit(setup_failed);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

TEST(ChildSignals, DaemonIgnoresSigpipeButChildrenGetTheDefault) {
    // Shows that the check sees the inherited disposition at all.
    EXPECT_EQ(sigpipeIgnoredAfterExec(nullptr), 1);
    EXPECT_EQ(sigpipeIgnoredAfterExec(&Platform::prepareChildForExec), 0);
    EXPECT_EQ(runChild(&Platform::prepareChildForExec), clean);
}

} // namespace
