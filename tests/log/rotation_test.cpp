#include "tests/log/logtestsupport.h"

#include <charconv>

using namespace TarqSe::Test;
using TarqSe::Daemon::Log;

namespace {

// "Test: " after the prefix.
constexpr std::size_t test_prefix_length = info_prefix_length + 6;

std::string repeated(const std::string& unit, std::size_t bytes) {
    std::string out;
    out.reserve(bytes);
    while (out.size() < bytes)
        out += unit;
    return out;
}

struct BoundaryCase {
    const char* name;
    long overshoot; // bytes in the file plus the next record's length, less the rotation size
    bool rotatesFirst;
};

const BoundaryCase boundary_cases[] = {
    {"OneShortFillsTheFile", -1, false},
    {"ReachingTheSizeRotatesFirst", 0, true},
    {"OneOverRotatesFirst", 1, true},
};

struct LongCase {
    const char* name;
    std::size_t renderedLength;
    std::string unit;
    bool whole;
};

const LongCase long_cases[] = {
    {"OneShortOfTheSizeStaysWhole", rotation_size - 1, "x", true},
    {"ReachingTheSizeIsCut", rotation_size, "x", false},
    {"FourMebibytesIsCut", 4 * rotation_size + 3, "x", false},
    {"CutKeepsUtf8SequencesWhole", rotation_size + 1, "\xC3\xA9", false},
};

template <typename Case> std::string caseName(const ::testing::TestParamInfo<Case>& info) {
    return info.param.name;
}
void PrintTo(const BoundaryCase& c, std::ostream* os) {
    *os << c.name;
}
void PrintTo(const LongCase& c, std::ostream* os) {
    *os << c.name;
}

} // namespace

class LogRotationBoundary : public LogDirTest,
                            public ::testing::WithParamInterface<BoundaryCase> {};

TEST_P(LogRotationBoundary, FileNeverReachesMoreThanTheRotationSize) {
    const auto& c = GetParam();
    initialize();
    Log::infoMsg("Test", "first");
    const auto first = logFiles(logDir());
    ASSERT_EQ(first.size(), 1u);
    const std::size_t inFile = fs::file_size(first[0].path);

    const std::size_t length = rotation_size + c.overshoot - inFile;
    const std::string message(length - test_prefix_length, 'x');
    Log::infoMsg("Test", message);
    const auto afterSecond = contentsOf(logFiles(logDir()));
    if (c.rotatesFirst) {
        ASSERT_EQ(afterSecond.size(), 2u);
        EXPECT_EQ(maskTimestamps(afterSecond[0]), infoLine("Test: first"));
        EXPECT_EQ(afterSecond[1].size(), length + 1);
        EXPECT_EQ(maskTimestamps(afterSecond[1]), infoLine("Test: " + message));
    } else {
        ASSERT_EQ(afterSecond.size(), 1u);
        EXPECT_EQ(afterSecond[0].size(), rotation_size);
        EXPECT_EQ(maskTimestamps(afterSecond[0]),
                  infoLine("Test: first") + infoLine("Test: " + message));
    }

    // A full file takes no further record.
    if (!c.rotatesFirst) {
        Log::infoMsg("Test", "next");
        const auto files = logFiles(logDir());
        ASSERT_EQ(files.size(), 2u);
        EXPECT_EQ(files[1].counter, 1u);
        EXPECT_EQ(fs::file_size(files[0].path), rotation_size);
        EXPECT_EQ(maskTimestamps(readFile(files[1].path)), infoLine("Test: next"));
    }
}

INSTANTIATE_TEST_SUITE_P(, LogRotationBoundary, ::testing::ValuesIn(boundary_cases),
                         caseName<BoundaryCase>);

class LogLongRecord : public LogDirTest, public ::testing::WithParamInterface<LongCase> {};

TEST_P(LogLongRecord, GetsAFileOfItsOwnAndFitsIntoIt) {
    const auto& c = GetParam();
    initialize();
    const std::string message = repeated(c.unit, c.renderedLength - test_prefix_length);
    ASSERT_EQ(test_prefix_length + message.size(), c.renderedLength);
    Log::infoMsg("Test", "before");
    Log::infoMsg("Test", message);
    Log::infoMsg("Test", "after");

    // The console keeps the whole record.
    const std::string console = consoleText();
    EXPECT_TRUE(maskTimestamps(console) ==
                infoLine("Test: before") + infoLine("Test: " + message) + infoLine("Test: after"));

    const auto contents = contentsOf(logFiles(logDir()));
    ASSERT_EQ(contents.size(), 3u);
    EXPECT_EQ(maskTimestamps(contents[0]), infoLine("Test: before"));
    EXPECT_EQ(maskTimestamps(contents[2]), infoLine("Test: after"));

    const std::string& file = contents[1];
    ASSERT_FALSE(file.empty());
    ASSERT_EQ(file.back(), '\n');
    const std::string line = file.substr(0, file.size() - 1);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    const std::string full = console.substr(console.find('\n') + 1, c.renderedLength);
    if (c.whole) {
        EXPECT_EQ(file.size(), c.renderedLength + 1);
        EXPECT_TRUE(line == full);
        return;
    }

    EXPECT_LT(line.size(), rotation_size);
    const std::string suffix = " bytes cut]";
    const std::size_t marker = line.rfind("... [");
    ASSERT_NE(marker, std::string::npos);
    ASSERT_EQ(line.compare(line.size() - suffix.size(), suffix.size(), suffix), 0);
    std::size_t cut = 0;
    const char* digits = line.data() + marker + 5;
    const auto parsed = std::from_chars(digits, line.data() + line.size() - suffix.size(), cut);
    ASSERT_EQ(parsed.ptr, line.data() + line.size() - suffix.size());
    EXPECT_EQ(marker + cut, c.renderedLength);
    EXPECT_TRUE(line.compare(0, marker, full, 0, marker) == 0);
    EXPECT_EQ((marker - test_prefix_length) % c.unit.size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(, LogLongRecord, ::testing::ValuesIn(long_cases), caseName<LongCase>);
