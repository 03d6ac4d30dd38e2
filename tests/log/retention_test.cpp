#include "tests/log/logtestsupport.h"

#include <chrono>
#include <set>

using namespace TarqSe::Test;
using TarqSe::Daemon::Log;

namespace {

struct EarlierFile {
    std::string name;
    int minutesOld;
};

// Twelve files of earlier runs: counters up to 7, dates and ages in no particular order.
const std::vector<EarlierFile> twelve_earlier = {
    {"2019-07-01--12-00-00.3.tarq-daemon.log", 50}, {"2019-07-02--08-30-00.7.tarq-daemon.log", 40},
    {"2018-01-05--23-59-59.0.tarq-daemon.log", 30}, {"2020-02-29--00-00-01.1.tarq-daemon.log", 97},
    {"2019-07-01--12-00-00.2.tarq-daemon.log", 20}, {"2019-07-01--12-00-01.2.tarq-daemon.log", 95},
    {"2019-07-03--10-10-10.5.tarq-daemon.log", 10}, {"2019-07-03--10-10-11.4.tarq-daemon.log", 60},
    {"2017-11-11--11-11-11.6.tarq-daemon.log", 70}, {"2019-07-04--01-02-03.1.tarq-daemon.log", 80},
    {"2030-12-31--23-59-59.0.tarq-daemon.log", 99}, {"2019-07-05--05-05-05.3.tarq-daemon.log", 5},
};
// The three oldest of them.
const std::set<std::string> three_oldest = {"2030-12-31--23-59-59.0.tarq-daemon.log",
                                            "2020-02-29--00-00-01.1.tarq-daemon.log",
                                            "2019-07-01--12-00-01.2.tarq-daemon.log"};

// Files with other names, older than all: never counted, never deleted.
const std::vector<EarlierFile> other_files = {
    {"notes.txt", 1000},
    {"2019-07-01--12-00-00.tarq-daemon.log", 1001},
    {"2019-07-01--12-00-00.x.tarq-daemon.log", 1002},
    {"2019-07-01--12-00-00.9.tarq-daemon.log.gz", 1003},
    {"19-07-01--12-00-00.9.tarq-daemon.log", 1004},
    {"2019-07-01--12-00-00.9.other.log", 1005},
};
// A directory named like a log file is not a file of earlier runs either.
const std::string directory_like_a_file = "2019-07-01--12-00-00.20.tarq-daemon.log";

struct ScanCase {
    const char* name;
    bool withTwelve;
    unsigned long firstCounter;
};

const ScanCase scan_cases[] = {
    {"TwelveEarlierFilesHighestSeven", true, 8},
    {"OnlyOtherNames", false, 0},
};

void PrintTo(const ScanCase& c, std::ostream* os) {
    *os << c.name;
}
std::string caseName(const ::testing::TestParamInfo<ScanCase>& info) {
    return info.param.name;
}

class LogRetention : public LogDirTest, public ::testing::WithParamInterface<ScanCase> {
protected:
    void SetUp() override {
        LogDirTest::SetUp();
        fs::create_directories(logDir() / directory_like_a_file);
        if (GetParam().withTwelve)
            for (const auto& f : twelve_earlier)
                place(f);
        for (const auto& f : other_files)
            place(f);
    }

    void place(const EarlierFile& f) {
        const fs::path path = logDir() / f.name;
        writeFile(path, "earlier " + f.name + "\n");
        const auto at = fs::file_time_type::clock::now() - std::chrono::minutes(f.minutesOld);
        fs::last_write_time(path, at);
        m_placed.push_back({path, at});
    }

    // The earlier files still there unchanged, by name.
    std::set<std::string> untouched() const {
        std::set<std::string> names;
        for (const auto& [path, at] : m_placed)
            if (fs::exists(path) && fs::last_write_time(path) == at &&
                readFile(path) == "earlier " + path.filename().string() + "\n")
                names.insert(path.filename().string());
        return names;
    }

    std::set<std::string> placedNames() const {
        std::set<std::string> names;
        for (const auto& [path, at] : m_placed)
            names.insert(path.filename().string());
        return names;
    }

    std::set<std::string> afterFirstFinish() const {
        auto names = placedNames();
        if (GetParam().withTwelve)
            for (const auto& name : three_oldest)
                names.erase(name);
        return names;
    }

    std::vector<std::pair<fs::path, fs::file_time_type>> m_placed;
};

// The file that this run began first, by its counter.
fs::path runFile(const fs::path& dir, unsigned long counter) {
    for (const auto& f : logFiles(dir))
        if (f.counter == counter && readFile(f.path).rfind("earlier ", 0) != 0)
            return f.path;
    return {};
}

} // namespace

TEST_P(LogRetention, CountingGoesOnAndTheLimitHoldsFromTheFirstFinishedFile) {
    const auto& c = GetParam();
    initialize();
    EXPECT_EQ(untouched(), placedNames()) << "nothing is deleted at start-up";

    Log::infoMsg("Test", "first");
    const fs::path first = runFile(logDir(), c.firstCounter);
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(maskTimestamps(readFile(first)), infoLine("Test: first"));
    EXPECT_EQ(untouched(), placedNames());

    // Finishes the first file of the run.
    Log::infoMsg("Test", rotating('x'));
    EXPECT_TRUE(fs::exists(first));
    EXPECT_FALSE(runFile(logDir(), c.firstCounter + 1).empty());
    EXPECT_EQ(untouched(), afterFirstFinish());
    const std::size_t earlierLeft = c.withTwelve ? twelve_earlier.size() - three_oldest.size() : 0;
    EXPECT_EQ(logFiles(logDir()).size(), earlierLeft + 2) << "the finished files and the open one";
    EXPECT_TRUE(fs::is_directory(logDir() / directory_like_a_file));
}

TEST_P(LogRetention, TheOpenFileIsFinishedAtExit) {
    const auto& c = GetParam();
    const auto run = runInChild(RunAs::root, [&] {
        Log::initializeIn(logDir().string());
        Log::infoMsg("Test", "only record");
    });
    ASSERT_TRUE(run.exitedCleanly()) << run.status;
    EXPECT_EQ(maskTimestamps(run.out), infoLine("Test: only record"));

    const fs::path file = runFile(logDir(), c.firstCounter);
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(maskTimestamps(readFile(file)), infoLine("Test: only record"));
    EXPECT_EQ(untouched(), afterFirstFinish());
    EXPECT_EQ(logFiles(logDir()).size(), c.withTwelve ? 10u : 1u);
    EXPECT_TRUE(fs::is_directory(logDir() / directory_like_a_file));
}

INSTANTIATE_TEST_SUITE_P(, LogRetention, ::testing::ValuesIn(scan_cases), caseName);
