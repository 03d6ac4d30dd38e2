#include "tests/log/logtestsupport.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/log/attributes/constant.hpp>
#include <boost/log/attributes/scoped_attribute.hpp>
#include <boost/log/trivial.hpp>

#include <ctime>
#include <thread>

using namespace TarqSe::Test;
using TarqSe::Daemon::Log;

namespace {

struct RecordCase {
    bool error;
    std::string object;
    std::string message;
    std::string rendered; // time stamps masked
};

const RecordCase record_cases[] = {
    {false, "WebSocketServer", "Run", "[TS][info]:  WebSocketServer: Run\n"},
    {true, "Session", "read: End of file", "[TS][error]:  Session: read: End of file\n"},
    {false, "", "no object name", "[TS][info]:  : no object name\n"},
    {true, "Listener", "", "[TS][error]:  Listener: \n"},
    {false, "Commands", "100% '%1%' %s stays", "[TS][info]:  Commands: 100% '%1%' %s stays\n"},
    // Whatever a client sends, a record stays one line: control characters other than tab are
    // written escaped, everything else as it is.
    {false, "Session", "New request: 'a\nb'", "[TS][info]:  Session: New request: 'a\\nb'\n"},
    {true, "Session", "ends in a line feed\n", "[TS][error]:  Session: ends in a line feed\\n\n"},
    {false, "Session", "1,x\n[2026-01-01 00:00:00.000000][info]:  Forged: record",
     "[TS][info]:  Session: 1,x\\n[2026-01-01 00:00:00.000000][info]:  Forged: record\n"},
    {false, "Session", std::string("cr\r nul\0 esc\x1b del\x7f us\x1f", 22),
     "[TS][info]:  Session: cr\\r nul\\x00 esc\\x1b del\\x7f us\\x1f\n"},
    {false, "Session", "tab\tstays, \\n stays, \xc3\xa9t\xc3\xa9 stays",
     "[TS][info]:  Session: tab\tstays, \\n stays, \xc3\xa9t\xc3\xa9 stays\n"},
    {false, "Ob\nject", "x", "[TS][info]:  Ob\\nject: x\n"},
};

// On the clock of the records' stamps: time() reads a coarser clock, which may trail it by a
// timer tick.
std::string localTimeNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::tm local{};
    localtime_r(&now.tv_sec, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

} // namespace

using LogRendering = LogDirTest;

TEST_F(LogRendering, RecordsRenderAlikeOnConsoleAndFile) {
    initialize();
    std::string expected;
    for (const auto& c : record_cases) {
        (c.error ? Log::errorMsg : Log::infoMsg)(c.object, c.message);
        BOOST_LOG_TRIVIAL(debug) << "below the threshold";
        expected += c.rendered;
    }

    EXPECT_EQ(maskTimestamps(consoleText()), expected);
    const auto files = logFiles(logDir());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].counter, 0u);
    EXPECT_EQ(maskTimestamps(readFile(files[0].path)), expected);
}

TEST_F(LogRendering, TimeStampIsLocalTimeWithSixFractionalDigits) {
    initialize();
    const std::string before = localTimeNow();
    Log::infoMsg("WebSocketServer", "Run");
    const std::string after = localTimeNow();
    const std::string now = consoleText();
    ASSERT_EQ(maskTimestamps(now), "[TS][info]:  WebSocketServer: Run\n");
    EXPECT_LE(before, now.substr(1, 19));
    EXPECT_GE(after, now.substr(1, 19));

    using namespace boost::posix_time;
    const struct {
        ptime at;
        std::string shown;
    } stamps[] = {
        {time_from_string("2019-07-01 12:34:56"), "[2019-07-01 12:34:56.000000]"},
        {time_from_string("2019-07-01 12:34:56.000005"), "[2019-07-01 12:34:56.000005]"},
        {time_from_string("2019-12-31 23:59:59.789012"), "[2019-12-31 23:59:59.789012]"},
    };
    std::string expected = now;
    for (const auto& s : stamps) {
        BOOST_LOG_SCOPED_THREAD_ATTR("TimeStamp", boost::log::attributes::constant<ptime>(s.at));
        Log::errorMsg("Session", "fixed");
        expected += s.shown + "[error]:  Session: fixed\n";
    }

    EXPECT_EQ(consoleText(), expected);
    const auto files = logFiles(logDir());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(readFile(files[0].path), expected);
}

TEST_F(LogRendering, RecordsFromManyThreadsStayWhole) {
    initialize();
    constexpr int threads = 4;
    constexpr int records_per_thread = 200;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([t] {
            for (int i = 0; i < records_per_thread; ++i)
                (i % 2 ? Log::errorMsg : Log::infoMsg)("Thread" + std::to_string(t),
                                                       "record " + std::to_string(i));
        });
    for (auto& thread : pool)
        thread.join();

    const auto files = logFiles(logDir());
    ASSERT_EQ(files.size(), 1u);
    for (const std::string& out :
         {maskTimestamps(consoleText()), maskTimestamps(readFile(files[0].path))}) {
        EXPECT_EQ(countOf(out, "\n"), std::size_t{threads * records_per_thread});
        for (int t = 0; t < threads; ++t)
            for (int i = 0; i < records_per_thread; ++i) {
                const std::string text =
                    "Thread" + std::to_string(t) + ": record " + std::to_string(i);
                EXPECT_EQ(countOf(out, i % 2 ? errorLine(text) : infoLine(text)), 1u) << text;
            }
    }
}

TEST_F(LogRendering, ConsoleInABadStateIsSkippedWithoutError) {
    initialize();
    std::cout.setstate(std::ios::badbit);
    Log::infoMsg("Test", "file only");
    std::cout.clear();
    Log::infoMsg("Test", "both");

    EXPECT_EQ(maskTimestamps(consoleText()), infoLine("Test: both"));
    const auto files = logFiles(logDir());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(maskTimestamps(readFile(files[0].path)),
              infoLine("Test: file only") + infoLine("Test: both"));
}
