#include "tests/log/logtestsupport.h"

#include <csignal>
#include <functional>
#include <thread>

#include <sys/resource.h>

using namespace TarqSe::Test;
using TarqSe::Daemon::Log;

namespace {

const std::string set_up_failure = "Log: File logging is off: ";

class LogFailure : public LogDirTest {
protected:
    // The unprivileged child must reach the log directory.
    void SetUp() override {
        LogDirTest::SetUp();
        fs::permissions(m_temp.path(), fs::perms(0755));
    }
};

struct SetUpCase {
    const char* name;
    RunAs as;
    std::function<fs::path(const fs::path& temp)> prepare; // returns the log directory
};

const SetUpCase set_up_cases[] = {
    {"DirectoryCannotBeCreated", RunAs::nobody,
     [](const fs::path& temp) {
         fs::create_directory(temp / "root-owned");
         fs::permissions(temp / "root-owned", fs::perms(0755));
         return temp / "root-owned" / "logs" / "TARQ";
     }},
    {"DirectoryCannotBeListed", RunAs::nobody,
     [](const fs::path& temp) {
         fs::create_directory(temp / "logs");
         giveToNobody(temp / "logs");
         fs::permissions(temp / "logs", fs::perms(0300));
         return temp / "logs";
     }},
    {"RegularFileInTheWay", RunAs::root,
     [](const fs::path& temp) {
         writeFile(temp / "logs", "not a directory\n");
         return temp / "logs";
     }},
};

void PrintTo(const SetUpCase& c, std::ostream* os) {
    *os << c.name;
}
std::string caseName(const ::testing::TestParamInfo<SetUpCase>& info) {
    return info.param.name;
}

} // namespace

class LogSetUpFailure : public LogFailure, public ::testing::WithParamInterface<SetUpCase> {};

// The failure's record waits until asked for, so that the start banner stays the first record.
TEST_P(LogSetUpFailure, ConsoleGoesOnWithOneRecordWhy) {
    const auto& c = GetParam();
    const fs::path dir = c.prepare(m_temp.path());
    const auto run = runInChild(c.as, [&] {
        Log::initializeIn(dir.string());
        Log::infoMsg("Test", "banner");
        Log::reportInitializationFailure();
        Log::infoMsg("Test", "after set-up");
        Log::errorMsg("Test", "and on");
    });

    ASSERT_TRUE(run.exitedCleanly()) << run.status;
    const std::string out = maskTimestamps(run.out);
    const std::string banner = infoLine("Test: banner");
    ASSERT_EQ(out.rfind(banner + "[TS][error]:  " + set_up_failure, 0), 0u) << out;
    EXPECT_EQ(countOf(out, set_up_failure), 1u);
    const std::string whyLine =
        out.substr(banner.size(), out.find('\n', banner.size()) + 1 - banner.size());
    EXPECT_NE(whyLine.find(m_temp.path().string()), std::string::npos) << whyLine;
    EXPECT_EQ(out.substr(banner.size() + whyLine.size()),
              infoLine("Test: after set-up") + errorLine("Test: and on"));

    if (fs::is_directory(dir)) {
        EXPECT_TRUE(fs::is_empty(dir));
    } else if (fs::exists(dir)) {
        EXPECT_EQ(readFile(dir), "not a directory\n");
    }
}

INSTANTIATE_TEST_SUITE_P(, LogSetUpFailure, ::testing::ValuesIn(set_up_cases), caseName);

TEST_F(LogFailure, DirectoryNotWritableKeepsTheConsole) {
    fs::create_directory(logDir());
    fs::permissions(logDir(), fs::perms(0755));
    const auto run = runInChild(RunAs::nobody, [&] {
        Log::initializeIn(logDir().string());
        Log::reportInitializationFailure();
        Log::infoMsg("Test", "first");
        Log::errorMsg("Test", "second");
    });

    ASSERT_TRUE(run.exitedCleanly()) << run.status;
    EXPECT_EQ(maskTimestamps(run.out), infoLine("Test: first") + errorLine("Test: second"));
    EXPECT_TRUE(fs::is_empty(logDir()));
}

// The next file cannot be opened for a while; every record reaches the console, none throws,
// and the first record once the directory is writable again opens a file.
TEST_F(LogFailure, FileOutputRecoversOnceItsDirectoryIsWritableAgain) {
    fs::create_directory(logDir());
    giveToNobody(logDir());
    fs::permissions(logDir(), fs::perms(0700));
    constexpr int threads = 4;
    constexpr int records_per_thread = 25;
    const auto run = runInChild(RunAs::nobody, [&] {
        const fs::path dir = logDir();
        const auto setMode = [&](int mode) {
            std::error_code ec;
            fs::permissions(dir, fs::perms(mode), ec);
        };
        Log::initializeIn(dir.string());
        Log::infoMsg("Test", "first");
        setMode(0500);
        Log::infoMsg("Test", rotating('a'));
        setMode(0700);
        Log::infoMsg("Test", "after");

        setMode(0500);
        Log::infoMsg("Test", rotating('b'));
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t)
            pool.emplace_back([t] {
                for (int i = 0; i < records_per_thread; ++i)
                    Log::errorMsg("Thread" + std::to_string(t), "record " + std::to_string(i));
            });
        for (auto& thread : pool)
            thread.join();
        setMode(0700);
        Log::infoMsg("Test", "recovered");
    });

    ASSERT_TRUE(run.exitedCleanly()) << run.status;
    const std::string out = maskTimestamps(run.out);
    for (const auto& line :
         {infoLine("Test: first"), infoLine("Test: after"), infoLine("Test: recovered"),
          infoLine("Test: " + rotating('a')), infoLine("Test: " + rotating('b'))})
        EXPECT_EQ(countOf(out, line), 1u) << line.substr(0, 40);
    for (int t = 0; t < threads; ++t)
        for (int i = 0; i < records_per_thread; ++i)
            EXPECT_EQ(countOf(out, errorLine("Thread" + std::to_string(t) + ": record " +
                                             std::to_string(i))),
                      1u);

    std::vector<std::string> files;
    for (const auto& content : contentsOf(logFiles(logDir())))
        files.push_back(maskTimestamps(content));
    EXPECT_EQ(files, (std::vector<std::string>{infoLine("Test: first"), infoLine("Test: after"),
                                               infoLine("Test: recovered")}));
}

// A write that fails on the open file, as on a full disk: the next record goes on in a new file.
TEST_F(LogFailure, WriteErrorContinuesInANewFile) {
    constexpr rlim_t limit = 8192;
    const std::string record(1000, 'w');
    const std::size_t line = info_prefix_length + 6 + record.size() + 1;
    const std::size_t fitting = limit / line;
    const auto run = runInChild(RunAs::root, [&] {
        std::signal(SIGXFSZ, SIG_IGN);
        Log::initializeIn(logDir().string());
        rlimit fileSize{};
        getrlimit(RLIMIT_FSIZE, &fileSize);
        fileSize.rlim_cur = limit;
        setrlimit(RLIMIT_FSIZE, &fileSize);
        for (std::size_t i = 0; i <= fitting; ++i)
            Log::infoMsg("Test", record);
        Log::infoMsg("Test", "next file");
    });

    ASSERT_TRUE(run.exitedCleanly()) << run.status;
    EXPECT_EQ(countOf(maskTimestamps(run.out), infoLine("Test: " + record)), fitting + 1);
    const auto files = contentsOf(logFiles(logDir()));
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].size(), limit);
    EXPECT_EQ(countOf(maskTimestamps(files[0]), infoLine("Test: " + record)), fitting);
    EXPECT_EQ(maskTimestamps(files[1]), infoLine("Test: next file"));
}
