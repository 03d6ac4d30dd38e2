// A client's text in the records: each record stays one line on the console and in the log file,
// so that no client can write a record of its own.

#include "tests/e2e/e2e_fixture.h"

#include <sstream>
#include <string>
#include <vector>

namespace TarqSe::E2e {
namespace {

using namespace std::string_literals;

const std::string forged_stamp = "[2026-01-01 00:00:00.000000]";

struct ControlCase {
    const char* label;
    std::string request;
    // The record of the request as the daemon must write it.
    std::string record;
};

const ControlCase control_cases[] = {
    {"line_feed", "1,x\n" + forged_stamp + "[info]:  Forged: record",
     "Session: New request: '1,x\\n" + forged_stamp + "[info]:  Forged: record'"},
    {"carriage_return_and_line_feed", "2,x\r\n" + forged_stamp + "[error]:  Forged: record",
     "Session: New request: '2,x\\r\\n" + forged_stamp + "[error]:  Forged: record'"},
    {"escape_delete_and_start_of_heading", "3,x\x1b[2J\x7f\x01",
     "Session: New request: '3,x\\x1b[2J\\x7f\\x01'"},
    {"nul", "4,x\0y"s, "Session: New request: '4,x\\x00y'"},
    {"tab_stays", "5,x\ty", "Session: New request: '5,x\ty'"},
};

// Lines that open no record of their own, or open one with the forged time stamp.
std::vector<std::string> strayLines(const std::string& text) {
    std::vector<std::string> stray;
    std::istringstream in(wholeLines(text));
    std::string line;
    while (std::getline(in, line)) {
        const auto records = parseRecords(line + "\n");
        if (records.size() != 1 || line.rfind(forged_stamp, 0) == 0)
            stray.push_back(line);
    }
    return stray;
}

using E2eRecords = DaemonTest;

TEST_F(E2eRecords, ControlCharactersAreEscapedInsideTheOneRecord) {
    ASSERT_TRUE(startDaemon());
    WsClient* client = connect();
    ASSERT_NE(client, nullptr);

    for (const auto& c : control_cases) {
        SCOPED_TRACE(c.label);
        ASSERT_TRUE(client->send(c.request));
        EXPECT_TRUE(hasRecord(c.record));
        EXPECT_TRUE(waitUntil(
            [&] { return findRecord(parseRecords(logFileText()), c.record) >= 0; }, reply_wait))
            << "not in the log file:\n"
            << logFileText();
    }
    // None of them is a request the daemon runs.
    EXPECT_TRUE(client->quiet());
    EXPECT_EQ(exchange(*client, "10,setdns a b", 2), quickJob(10, "setdns"));

    EXPECT_EQ(strayLines(daemon().output()), std::vector<std::string>{});
    ASSERT_FALSE(logFileText().empty());
    EXPECT_EQ(strayLines(logFileText()), std::vector<std::string>{});
}

} // namespace
} // namespace TarqSe::E2e
