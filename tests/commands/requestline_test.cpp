#include "commands/command.h"
#include "commands/commands.h"
#include "tests/support/logcapture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

using TarqSe::Daemon::Command;
using TarqSe::Daemon::Commands;
using TarqSe::Test::LogCapture;

namespace {

constexpr std::uint64_t maxId = 18446744073709551615ULL;
const std::string cannotParse = "Commands: Cannot parse request";
const std::string repeated = "Commands: Last messageId is equal current messageId";

struct ParseCase {
    std::string request;
    bool ok;
    std::uint64_t id;
    std::string commandLine;
};

const ParseCase parseCases[] = {
    {"5,starttarq a b c", true, 5, "starttarq a b c"},
    {"5,setdns a,b", true, 5, "setdns a,b"},
    {"12,,x", true, 12, ",x"},
    {"1,\n", true, 1, "\n"},
    {"1, ", true, 1, " "},
    {"", false, 0, ""},
    {"starttarq a b c", false, 0, ""},
    {"5,", false, 0, ""},
    {",x", false, 0, ""},
    {"abc,x", false, 0, ""},
    {" \t,x", false, 0, ""},
    {"+,x", false, 0, ""},
    {"-,x", false, 0, ""},
    {"+-1,x", false, 0, ""},
    {"+ 5,x", false, 0, ""},
    {"99999999999999999999,x", false, 0, ""},
    {"18446744073709551616,x", false, 0, ""},
    {"-18446744073709551616,x", false, 0, ""},
    {"18446744073709551615,x", true, maxId, "x"},
    {"000000000000000000000018446744073709551615,x", true, maxId, "x"},
    {" \t\n\v\f\r12,x", true, 12, "x"},
    {"  \t+7,x", true, 7, "x"},
    {"12x,x", true, 12, "x"},
    {"0x10,x", true, 0, "x"},
    {"1 2,x", true, 1, "x"},
    {"-1,x", true, maxId, "x"},
    {"-0,x", true, 0, "x"},
    {"-18446744073709551615,x", true, 1, "x"},
};

} // namespace

TEST(CommandsRequestLine, ParsesIdAndCommandLine) {
    for (const auto& c : parseCases) {
        SCOPED_TRACE("request '" + c.request + "'");
        std::uint64_t id = 4242;
        std::string commandLine = "untouched";
        ASSERT_EQ(Commands::parseRequest(c.request, id, commandLine), c.ok);
        // A refused line leaves both out-parameters as they were.
        EXPECT_EQ(id, c.ok ? c.id : 4242u);
        EXPECT_EQ(commandLine, c.ok ? c.commandLine : "untouched");
    }
}

TEST(CommandsRequestLine, UnparsableLineIsRefusedWithRecord) {
    for (const auto& c : parseCases) {
        if (c.ok)
            continue;
        SCOPED_TRACE("request '" + c.request + "'");
        LogCapture log;
        EXPECT_EQ(Commands::findCommand(c.request), nullptr);
        EXPECT_EQ(log.messages(), std::vector<std::string>{cannotParse});
        EXPECT_EQ(Command::lastMessageId(), 0u);
    }
}

TEST(CommandsRequestLine, CommandGetsIdAndWholeCommandLine) {
    LogCapture log;
    std::unique_ptr<Command> command(Commands::findCommand("5,starttarq a b c"));
    ASSERT_NE(command, nullptr);
    EXPECT_EQ(command->name(), "starttarq");
    EXPECT_EQ(command->messageId(), 5u);
    EXPECT_TRUE(command->isValid());
    EXPECT_EQ(Command::lastMessageId(), 5u);

    std::unique_ptr<Command> maxed(Commands::findCommand("-1,stoptarq"));
    ASSERT_NE(maxed, nullptr);
    EXPECT_EQ(maxed->commandState(true, 0), "18446744073709551615,stoptarq::STARTED::status::0");
    EXPECT_TRUE(log.messages().empty());
}

TEST(CommandsRequestLine, UnrecognisedOrEmptyCommandLineBuildsNothingSilently) {
    const std::string lines[] = {
        "1,nosuch a b", "2,Logoff", "3,logoff\n", "4,LOGOFF",   "5,logoffx",
        "6,log off",    "7, \t  ",  "8,\"\"",     "9, \"\" \t",
    };
    LogCapture log;
    for (const auto& line : lines) {
        SCOPED_TRACE("request '" + line + "'");
        EXPECT_EQ(Commands::findCommand(line), nullptr);
    }
    EXPECT_TRUE(log.messages().empty());
    EXPECT_EQ(Command::lastMessageId(), 0u);
}

TEST(CommandsRequestLine, RunCommandOfNullIsFalse) {
    EXPECT_FALSE(Commands::runCommand(nullptr, nullptr));
}

// The repeated-id rule: only the id of the last built command is remembered.
namespace {

struct Step {
    std::string request;
    bool built;
    std::string record; // the one record expected under "Commands", or empty for none
    std::uint64_t lastIdAfter;
};

void runSteps(const std::vector<Step>& steps) {
    for (const auto& step : steps) {
        SCOPED_TRACE("request '" + step.request + "'");
        LogCapture log;
        std::unique_ptr<Command> command(Commands::findCommand(step.request));
        EXPECT_EQ(command != nullptr, step.built);
        std::vector<std::string> fromParser;
        for (const auto& m : log.messages())
            if (m.rfind("Commands: ", 0) == 0)
                fromParser.push_back(m);
        EXPECT_EQ(fromParser, step.record.empty() ? std::vector<std::string>{}
                                                  : std::vector<std::string>{step.record});
        EXPECT_EQ(Command::lastMessageId(), step.lastIdAfter);
    }
}

} // namespace

TEST(CommandsRepeatedId, FirstIdZeroIsARepeat) {
    runSteps({{"0,logoff", false, repeated, 0}, {"1,logoff", true, "", 1}});
}

TEST(CommandsRepeatedId, OnlyTheLastIdIsRemembered) {
    runSteps({{"5,logoff", true, "", 5},
              {"5,logoff", false, repeated, 5},
              {"6,logoff", true, "", 6},
              {"5,logoff", true, "", 5},
              {"+5,stoptarq", false, repeated, 5}});
}

TEST(CommandsRepeatedId, RepeatIsTestedBeforeTokenizing) {
    runSteps(
        {{"5,logoff", true, "", 5}, {"5, ", false, repeated, 5}, {"5,nosuch", false, repeated, 5}});
}

TEST(CommandsRepeatedId, UnbuiltRequestLeavesTheLastId) {
    runSteps({{"4,logoff", true, "", 4},
              {"5,nosuch", false, "", 4},
              {"5, \t", false, "", 4},
              {"x,logoff", false, cannotParse, 4},
              {"5,logoff", true, "", 5}});
}

TEST(CommandsRepeatedId, InvalidCommandStillSetsTheLastId) {
    runSteps({{"5,starttarq a", true, "", 5}, {"5,starttarq a b c", false, repeated, 5}});
}

// A program would get its arguments cut at a NUL while the records show the whole text.
TEST(CommandsRequestLine, NulInTheCommandLineIsRefused) {
    const std::string nul = "Commands: Command line holds a NUL character";
    using namespace std::string_literals;
    runSteps({{"4,logoff", true, "", 4},
              {"5,setdns 1.1.1.1 2.2.2.2\0;id"s, false, nul, 4},
              {"6,\0logoff"s, false, nul, 4},
              {"7,logoff \0"s, false, nul, 4},
              {"4,logoff\0"s, false, nul, 4},
              // In the id text it is one of the characters after the digits, which are ignored.
              {"8\0,logoff"s, true, "", 8}});
}
