// The run report while a run is under way, and a report that cannot be written.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

#include "tests/e2e/report_check.h"

namespace fs = std::filesystem;

namespace e2e {
namespace {

TEST_F(ReportTest, ProgressReportShowsTheItemUnderWay) {
  const std::string release = tmp_.Join("release");
  product_.AddModuleFile(
      "mod_core.xml",
      Probe("a", {{"param", "--sleep-ms=400"}}) +
          Probe("b",
                {{"param",
                  "--record=" + At("calls.txt") + " --wait-for=" + target().Spell(release)}}),
      Probe("c"),
      Probe("d"));
  RunOptions options;
  options.arguments = {"--installpath=" + product_.TargetFolder()};
  Process run = Start(options);
  ASSERT_TRUE(WaitForText(product_.Path("calls.txt"), "[end]\n")) << "the item never started";
  // A report written by a wait tick of item a just before it ended can stand
  // until b's first tick (the reports are paced), so read until b shows.
  rapidjson::Document progress;
  bool valid = false;
  for (int i = 0; i < 100; ++i) {
    valid = ValidReport(ReadTextFile(ReportFile()), &progress);
    if (valid && progress["phases"].Size() > 0 && progress["phases"][0]["items"].Size() == 2 &&
        std::string(progress["phases"][0]["items"][1]["status"].GetString()) == "running")
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  WriteTextFile(release, "");
  EXPECT_EQ(Wait(run).exit_code, 0);
  ASSERT_TRUE(valid);
  EXPECT_TRUE(progress["finished"].IsNull());
  EXPECT_TRUE(progress["exit_code"].IsNull());
  const rapidjson::Value& items = progress["phases"][0]["items"];
  ASSERT_EQ(items.Size(), 2u);
  EXPECT_STREQ(items[0]["status"].GetString(), "succeeded");
  EXPECT_STREQ(items[1]["status"].GetString(), "running");
  EXPECT_EQ(progress["counts"]["running"].GetUint(), 1u);
  EXPECT_EQ(progress["counts"]["not_reached"].GetUint(), 2u);
  // The final report replaces it.
  EXPECT_FALSE(Report()["finished"].IsNull());
  EXPECT_EQ(Report()["counts"]["running"].GetUint(), 0u);
}

TEST_F(ReportTest, ProgressCatchesUpWithAnItemThatStartedRightAfterTheLastReport) {
  const std::string release = tmp_.Join("release");
  product_.AddModuleFile(
      "mod_core.xml",
      Probe("a") + Probe("b", {{"param", "--wait-for=" + target().Spell(release)}}),
      Probe("c"),
      Probe("d"));
  RunOptions options;
  options.arguments = {"--installpath=" + product_.TargetFolder()};
  Process run = Start(options);
  // Within about a second of its start the waited-for item shows as running.
  std::string status;
  for (int i = 0; i < 60 && status != "running"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    rapidjson::Document progress;
    if (ValidReport(ReadTextFile(ReportFile()), &progress) && progress["phases"].Size() > 0 &&
        progress["phases"][0]["items"].Size() == 2) {
      status = progress["phases"][0]["items"][1]["status"].GetString();
    }
  }
  WriteTextFile(release, "");
  EXPECT_EQ(Wait(run).exit_code, 0);
  EXPECT_EQ(status, "running");
}

TEST_F(ReportTest, ReportThatCannotBeWrittenIsOneLineAndChangesNothing) {
  product_.AddModuleFile("mod_core.xml", Probe("a"), Probe("b"), Probe("c"));
  fs::create_directories(ReportFile());  // a folder where the report should be
  EXPECT_EQ(RunProduct().exit_code, 0);
  std::vector<std::string> messages = Messages();
  const std::regex line(
      "E:run report cannot be written, path: " +
      std::regex_replace(target().Spell(ReportFile()), std::regex(R"([\\.])"), "\\$&") +
      ", GLE: [1-9][0-9]*");
  ASSERT_FALSE(messages.empty());
  EXPECT_TRUE(std::regex_match(messages.back(), line)) << messages.back();
  EXPECT_EQ(
      std::count_if(messages.begin(),
                    messages.end(),
                    [](const std::string& m) { return m.find("run report") != std::string::npos; }),
      1);
  EXPECT_EQ(ReadTextFile(ResultFile()), target().IniText({"[result]", "is_success=true"}));
  for (const std::string& name : LogFolderEntries()) {
    EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
  }
}

}  // namespace
}  // namespace e2e
