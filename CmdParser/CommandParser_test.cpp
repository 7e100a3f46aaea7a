#include "CmdParser/CommandParser.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "Platform/system/system.h"
#include "tests/support/log_capture.h"

namespace {

const std::string kKey = "--installpath=";

TEST(ParseOptionTest, MatchesOnlyAtTheStartAndCaseSensitively) {
  LogCapture log;
  std::string destination = "unchanged";
  EXPECT_FALSE(CommandParser::ParseOption(destination, "x--installpath=C:\\A", kKey));
  EXPECT_FALSE(CommandParser::ParseOption(destination, "--INSTALLPATH=C:\\A", kKey));
  EXPECT_FALSE(CommandParser::ParseOption(destination, "--installpath", kKey));
  EXPECT_EQ(destination, "unchanged");
  EXPECT_TRUE(log.lines().empty());
}

TEST(ParseOptionTest, TakesTheWholeRestAndLogsIt) {
  LogCapture log;
  std::string destination;
  EXPECT_TRUE(CommandParser::ParseOption(destination, "--installpath=C:\\A=B", kKey));
  EXPECT_EQ(destination, "C:\\A=B");
  EXPECT_TRUE(CommandParser::ParseOption(destination, "--installpath=", kKey));
  EXPECT_EQ(destination, "");
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{"I:commindline --installpath= : C:\\A=B",
                                      "I:commindline --installpath= : "}));
}

TEST(ParseOptionTest, NoValueEndsItsLine) {
  LogCapture log;
  std::string destination;
  EXPECT_TRUE(CommandParser::ParseOption(destination, "--installpath=C:\\A\nE1 b\x7F", kKey));
  EXPECT_EQ(destination, "C:\\A\nE1 b\x7F");
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{"I:commindline --installpath= : C:\\A\\x0AE1 b\\x7F"});
}

TEST(ParseFlagTest, OnlyTheExactFlagIsGivenAndOnlyThatIsLogged) {
  LogCapture log;
  using CommandParser::FlagMatch;
  // Each argument, and what it is: given, misspelt, or another one.
  const std::string rows[] = {
      "--undo G", "--undo=1 M", "--undone M", "--UNDO M", "-Undo M", "x--undo N"};
  for (const std::string& row : rows) {
    const FlagMatch match = CommandParser::ParseFlag(row.substr(0, row.find(' ')), "--undo");
    EXPECT_EQ("NGM"[static_cast<int>(match)], row.back()) << row;
  }
  EXPECT_EQ(log.lines(), std::vector<std::string>{"I:commindline --undo"});
}

// ctest runs this test a second time (cmdparser_test_arguments in
// CMakeLists.txt) with arguments of its choosing, an empty one among them:
// they are the whole of what GetArguments may answer.
TEST(GetArgumentsTest, DropsTheProgramNameAndEmptyArguments) {
  const std::vector<std::wstring> command_line = platform::CommandLineArguments();
  if (std::find(command_line.begin(), command_line.end(), L"--cmdparser-test") ==
      command_line.end()) {
    GTEST_SKIP() << "needs the arguments ctest gives: ctest -R cmdparser_test_arguments";
  }
  EXPECT_EQ(CommandParser::GetArguments(),
            (std::vector<std::string>{
                "--gtest_filter=GetArgumentsTest.*", "--cmdparser-test", "two words"}));
}

}  // namespace
