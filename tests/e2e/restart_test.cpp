// Exit codes that ask for another start (retry_exitcode, retries,
// retry_delay) or for a restart before the next item (reboot_now_exitcode),
// and the run after such a stop, which goes on where it stopped.
#include <rapidjson/document.h>

#include <algorithm>
#include <filesystem>

#include <gmock/gmock.h>

#include "tests/e2e/restart_fixture.h"

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

namespace e2e {
namespace {

TEST_F(RestartTest, RetryCodeStartsTheProgramAgainUntilItSucceeds) {
  const std::string count = At("count.txt");
  product_.AddModuleFile(
      "mod_core.xml",
      Tagged("a",
             "--fail-first=2:17:" + count,
             {{"retry_exitcode", "5;17"}, {"retry_delay", "0"}, {"exitcode", "0"}}),
      // Not used: an item that does not wait, and values out of range.
      Tagged("b", "", {{"wait_for_exit", "0"}, {"retry_exitcode", "5"}}) +
          Tagged("c", "", {{"retry_exitcode", "7"}, {"retries", "11"}, {"retry_delay", "x"}}),
      Tagged("d", "", {{"reboot_now_exitcode", "3;z"}}));
  EXPECT_EQ(RunAgain().exit_code, 0);
  EXPECT_EQ(Starts("count.txt"), 3u);
  const std::string path = At(probe_);
  EXPECT_THAT(
      Retries(),
      ElementsAre("I:exe will be started again, exitCode: 17 ,attempt: 2 of 4",
                  "I:exe will be started again, exitCode: 17 ,attempt: 3 of 4",
                  "I:retry_exitcode not used, path: " + path + " ,retry_exitcode: 5",
                  "I:retries not used, path: " + path + " ,retries: 11",
                  "I:retry_delay not used, path: " + path + " ,retry_delay: x",
                  "I:reboot_now_exitcode not used, path: " + path + " ,reboot_now_exitcode: 3;z"));
  EXPECT_THAT(Messages(),
              Contains("I:exitCode match the expectations , exitCode: 0. expected result: -1"));
  rapidjson::Document report;
  EXPECT_THAT(Statuses(&report), Contains("succeeded"));
  const auto& first = report["phases"][0]["items"][0];
  ASSERT_TRUE(first.HasMember("attempt_exit_codes"));
  EXPECT_EQ(first["attempt_exit_codes"].Size(), 3u);
  EXPECT_EQ(first["attempt_exit_codes"][0].GetUint(), 17u);
  EXPECT_EQ(first["attempt_exit_codes"][2].GetUint(), 0u);
  EXPECT_FALSE(report["phases"][1]["items"][0].HasMember("attempt_exit_codes"));
  EXPECT_FALSE(report.HasMember("stopped_for_reboot"));
  // A product that stops nothing leaves no record and no resume key.
  EXPECT_FALSE(fs::exists(Record()));
  EXPECT_EQ(Result("result", "resume_after_reboot"), "<absent>");
}

TEST_F(RestartTest, UsedUpRetriesAreJudgedAsTodayAndTimeoutsAreNotRetried) {
  const std::string count = At("count.txt"), slow = At("slow.txt");
  product_.AddModuleFile(
      "mod_core.xml",
      Tagged("a",
             "--fail-first=9:5:" + count,
             {{"retry_exitcode", "5"}, {"retries", "2"}, {"retry_delay", "0"}, {"exitcode", "0"}}),
      Probe("b"),
      Probe("c"));
  EXPECT_EQ(RunAgain().exit_code, 210);
  EXPECT_EQ(Starts("count.txt"), 3u);
  EXPECT_THAT(Retries(),
              ElementsAre("I:exe will be started again, exitCode: 5 ,attempt: 2 of 3",
                          "I:exe will be started again, exitCode: 5 ,attempt: 3 of 3"));
  EXPECT_EQ(Result("error_info", "error_code"), "InstallError:50");

  // Each attempt has its own limit; a program past it is not started again.
  product_.AddModuleFile(
      "mod_core.xml",
      Tagged("a",
             "--fail-first=0:0:" + slow + " --sleep-ms=30000",
             {{"retry_exitcode", "0;137;-1"}, {"retry_delay", "0"}, {"timeout", "1"}}),
      Probe("b"),
      Probe("c"));
  EXPECT_EQ(RunAgain().exit_code, 210);
  EXPECT_EQ(Starts("slow.txt"), 1u);
  EXPECT_EQ(Result("error_info", "error_code"), "InstallError:51");
}

TEST_F(RestartTest, StopForARestartAndTheRunAfterIt) {
  product_.AddModuleFile(
      "mod_core.xml",
      Probe("a"),
      Tagged("b", "--exit=3", {{"reboot_now_exitcode", "3"}, {"exitcode", "3"}}) + Probe("c"),
      Probe("d"));
  EXPECT_EQ(RunAgain().exit_code, 211);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"a", "b"}));
  EXPECT_THAT(Messages(),
              Contains("I:exitCode asks for a restart before the next item , exitCode: 3"));
  EXPECT_THAT(Messages(), Not(Contains("I:start call after self protect plugins...")));
  EXPECT_EQ(ReadTextFile(ResultFile()),
            target().IniText({"[result]",
                              "is_success=false",
                              "reboot_required=true",
                              "resume_after_reboot=true",
                              "[error_info]",
                              "error_path=",
                              "error_code=",
                              "error_detail="}));
  rapidjson::Document report;
  EXPECT_EQ(Statuses(&report),
            (std::vector<std::string>{"succeeded", "succeeded", "not_reached", "not_reached"}));
  EXPECT_TRUE(report["stopped_for_reboot"].GetBool());
  EXPECT_EQ(report["exit_code"].GetInt(), 211);
  EXPECT_TRUE(fs::exists(Record()));
  // The plan tells the class, the overlap and what the next run passes over.
  const std::string text = PlanProduct().out;
  EXPECT_THAT(text, HasSubstr("    restart now: exit codes 3 end the run after this item"));
  EXPECT_THAT(text,
              HasSubstr("(mod_core.xml): exit code 3 is listed as restart-now, accepted; it is "
                        "judged as restart-now"));
  EXPECT_THAT(text, HasSubstr("the next run passes over 2 item(s) done before the restart"));
  EXPECT_THAT(text, HasSubstr("  Exe  done before the restart"));
  EXPECT_THAT(PlanProduct({"--json"}).out, HasSubstr("\"prediction\": \"done_before_restart\""));

  // The run after the restart passes over a and b and runs the rest.
  EXPECT_EQ(RunAgain().exit_code, 0);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"a", "b", "c", "d"}));
  const std::string done = "I:item done before the restart, path: " + At(probe_);
  const std::vector<std::string> messages = Messages();
  EXPECT_EQ(std::count(messages.begin(), messages.end(), done), 2);
  EXPECT_EQ(Statuses(&report),
            (std::vector<std::string>{
                "done_before_restart", "done_before_restart", "succeeded", "succeeded"}));
  EXPECT_EQ(report["counts"]["done_before_restart"].GetUint(), 2u);
  EXPECT_EQ(Result("result", "is_success"), "true");
  EXPECT_EQ(Result("result", "resume_after_reboot"), "<absent>");
  EXPECT_EQ(Result("result", "reboot_required"), "<absent>");
  EXPECT_FALSE(fs::exists(Record())) << "a record is used once";

  // The one after it starts from the beginning: b stops it again.
  EXPECT_EQ(RunAgain().exit_code, 211);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"a", "b", "c", "d", "a", "b"}));
}

TEST_F(RestartRecordTest, ChangedItemRunsAgain) {
  Module("");
  EXPECT_EQ(RunAgain().exit_code, 211);
  Module("--exit=0");  // a changed in between: it runs again, b does not
  EXPECT_EQ(RunAgain().exit_code, 0);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"a", "b", "a", "c"}));
}

}  // namespace
}  // namespace e2e
