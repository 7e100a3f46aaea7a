#include "CmdParser/CommandParser.h"

#include <gtest/gtest.h>

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

TEST(GetArgumentsTest, DropsTheProgramName) {
  // The test binary runs without arguments of its own.
  for (const std::string& argument : CommandParser::GetArguments()) {
    EXPECT_EQ(argument.find("cmdparser_test"), std::string::npos) << argument;
  }
}

}  // namespace
