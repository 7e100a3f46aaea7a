// What the run report TaverlyRunReport.json says of a run (the product, the
// modules, the phases and every item's outcome) and restart-needing exit codes
// (reboot_exitcode): what an installer learns of a run besides its exit code.
#include <pwd.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include "Utils/Version.h"
#include "tests/e2e/report_check.h"

using ::testing::Contains;
using ::testing::ElementsAre;

namespace e2e {
namespace {

TEST_F(ReportTest, CleanRunReportsEveryItemAndTheRun) {
  product_.AddModuleFile("mod_core.xml", Probe("a") + Probe("b"), Probe("c"), Probe("d"));
  product_.AddModuleFile("mod_off.xml", Probe("never"), "", "");
  ASSERT_EQ(RunProduct().exit_code, 0);
  rapidjson::Document& report = Report();
  EXPECT_STREQ(report["schema"].GetString(), "taverly-run-report/1");
  EXPECT_STREQ(report["version"].GetString(), TaverlyVersion());
  EXPECT_EQ(report["product_folder"].GetString(), product_.TargetFolder());
  EXPECT_EQ(report["account"]["system"].GetBool(), target().system_account);
  if (!target().windows) {
    EXPECT_STREQ(report["account"]["name"].GetString(), getpwuid(geteuid())->pw_name);
  }
  EXPECT_LE(std::string(report["started"].GetString()), report["finished"].GetString());
  EXPECT_EQ(report["exit_code"].GetInt(), 0);
  EXPECT_TRUE(report["is_success"].GetBool());
  EXPECT_FALSE(report["reboot_required"].GetBool());
  EXPECT_STREQ(report["error"]["code"].GetString(), "");
  EXPECT_FALSE(report["security_base"]["present"].GetBool());
  EXPECT_TRUE(report["security_base"]["verdict"].IsNull());
  EXPECT_EQ(report["security_base"]["path"].GetString(), At(target().security_base_name));

  const rapidjson::Value& modules = report["modules"];
  ASSERT_EQ(modules.Size(), 2u);
  EXPECT_EQ(modules[0]["file"].GetString(), At("modularize/mod_core.xml"));
  EXPECT_STREQ(modules[0]["reason"].GetString(), "installed");
  EXPECT_EQ(modules[0]["keys"].Size(), 4u);
  EXPECT_STREQ(modules[1]["name"].GetString(), "off");
  EXPECT_FALSE(modules[1]["admitted"].GetBool());
  EXPECT_STREQ(modules[1]["reason"].GetString(), "not-listed");

  EXPECT_THAT(Phases(),
              ElementsAre("after_setup reached succeeded",
                          "open_selfprotect reached succeeded",
                          "after_selfprotect reached succeeded"));
  EXPECT_THAT(Statuses(),
              ElementsAre("after_setup/" + Key(1) + ":succeeded",
                          "after_setup/" + Key(2) + ":succeeded",
                          "open_selfprotect/" + Key(3) + ":succeeded",
                          "after_selfprotect/" + Key(4) + ":succeeded"));
  const rapidjson::Value& first = ItemOf(Key(1));
  EXPECT_EQ(first["module_file"].GetString(), At("modularize/mod_core.xml"));
  EXPECT_STREQ(first["type"].GetString(), "Exe");
  EXPECT_EQ(first["file"].GetString(), target().Relative(probe_));
  EXPECT_EQ(first["path"].GetString(), At(probe_));
  EXPECT_EQ(first["exit_code"].GetUint(), 0u);
  EXPECT_TRUE(first["duration_ms"].IsUint64());
  EXPECT_FALSE(first["timed_out"].GetBool());
  EXPECT_FALSE(first["reboot"].GetBool());
  EXPECT_EQ(report["counts"]["succeeded"].GetUint(), 4u);

  // Nothing else is left in the log folder: no temporary file.
  EXPECT_THAT(LogFolderEntriesButTheLog(),
              ElementsAre("TaverlyResultInfo.dat", "TaverlyRunReport.json"));
}

TEST_F(ReportTest, FailedItemLeavesTheRestOfItsPhaseAndLaterPhasesNotReached) {
  product_.AddModuleFile("mod_core.xml",
                         Probe("a"),
                         Probe("b", {{"exitcode", "0"}, {"param", "--exit=7"}}) + Probe("never"),
                         Probe("c"));
  ASSERT_EQ(RunProduct().exit_code, 210);
  EXPECT_THAT(Statuses(),
              ElementsAre("after_setup/" + Key(1) + ":succeeded",
                          "open_selfprotect/" + Key(2) + ":failed",
                          "open_selfprotect/" + Key(3) + ":not_reached",
                          "after_selfprotect/" + Key(4) + ":not_reached"));
  EXPECT_THAT(Phases(),
              ElementsAre("after_setup reached succeeded",
                          "open_selfprotect reached",
                          "after_selfprotect not-reached"));
  rapidjson::Document& report = Report();
  EXPECT_EQ(report["exit_code"].GetInt(), 210);
  EXPECT_FALSE(report["is_success"].GetBool());
  EXPECT_EQ(ItemOf(Key(2))["exit_code"].GetUint(), 7u);
  EXPECT_FALSE(ItemOf(Key(3)).HasMember("duration_ms"));
  // The error is the result file's.
  EXPECT_EQ(report["error"]["code"].GetString(), Result("error_info", "error_code"));
  EXPECT_EQ(report["error"]["detail"].GetString(), Result("error_info", "error_detail"));
  EXPECT_EQ(report["counts"]["not_reached"].GetUint(), 2u);
}

TEST_F(ReportTest, EmptyPhaseIsReachedWithNoItemsAndEndsTheRun) {
  product_.AddModuleFile("mod_core.xml", Probe("a"), "", Probe("c"));
  ASSERT_EQ(RunProduct().exit_code, 210);
  EXPECT_THAT(Phases(),
              ElementsAre("after_setup reached succeeded",
                          "open_selfprotect reached",
                          "after_selfprotect not-reached"));
  EXPECT_THAT(Statuses(),
              ElementsAre("after_setup/" + Key(1) + ":succeeded",
                          "after_selfprotect/" + Key(2) + ":not_reached"));
}

TEST_F(ReportTest, CatalogueFailureReportsTheModulesSoFarAndNoPhase) {
  product_.AddModuleFile("mod_a.xml", Probe("a"), Probe("b"), Probe("c"));
  WriteTextFile(product_.Path("modularize/mod_b.xml"), "<root><module>");
  product_.AddModuleFile("mod_c.xml", Probe("never"), "", "");
  product_.SetInstalledModules({"a", "b", "c"});
  ASSERT_EQ(RunProduct().exit_code, 210);
  rapidjson::Document& report = Report();
  const rapidjson::Value& modules = report["modules"];
  ASSERT_EQ(modules.Size(), 2u);
  EXPECT_STREQ(modules[0]["outcome"].GetString(), "loaded");
  EXPECT_STREQ(modules[1]["outcome"].GetString(), "parse-failed");
  EXPECT_STREQ(modules[1]["reason"].GetString(), "installed");
  EXPECT_THAT(Phases(),
              ElementsAre("after_setup not-reached",
                          "open_selfprotect not-reached",
                          "after_selfprotect not-reached"));
  // The items admitted before the failure are there, none reached.
  EXPECT_EQ(report["counts"]["items"].GetUint(), 3u);
  EXPECT_EQ(report["counts"]["not_reached"].GetUint(), 3u);
  EXPECT_EQ(report["error"]["code"].GetString(), std::string("InstallError:40"));
}

TEST_F(ReportTest, SkippedAndNotStartedItemsAreToldApart) {
  const std::string library = target().Library("lib/probe");
  product_.AddFile(library, target().probe_library);
  product_.AddModuleFile(
      "mod_core.xml",
      Probe("lower", {{"type", "exe"}}) +
          Probe("gate", {{"system", target().system_account ? "0" : "1"}}) +
          Item({{"type", "Exe"}, {"file", target().Relative("bin/missing")}}) +
          Item({{"type", "SimpleDll"},
                {"file", target().Relative(target().Library("lib/none"))},
                {"entry", "ReturnZero"}}) +
          Item({{"type", "SimpleDll"}, {"file", target().Relative(library)}, {"entry", "Nope"}}) +
          Item({{"type", "SimpleDll"},
                {"file", target().Relative(library)},
                {"entry", "ReturnMinusFive"}}),
      Probe("b"),
      Probe("c"));
  ASSERT_EQ(RunProduct().exit_code, 0);
  EXPECT_THAT(Statuses(),
              ElementsAre("after_setup/" + Key(1) + ":skipped",
                          "after_setup/" + Key(2) + ":skipped",
                          "after_setup/" + Key(3) + ":not_started",
                          "after_setup/" + Key(4) + ":not_started",
                          "after_setup/" + Key(5) + ":not_started",
                          "after_setup/" + Key(6) + ":succeeded",
                          "open_selfprotect/" + Key(7) + ":succeeded",
                          "after_selfprotect/" + Key(8) + ":succeeded"));
  EXPECT_FALSE(ItemOf(Key(1)).HasMember("duration_ms"));
  EXPECT_FALSE(ItemOf(Key(3)).HasMember("exit_code"));
  EXPECT_FALSE(ItemOf(Key(4)).HasMember("result"));
  EXPECT_EQ(ItemOf(Key(6))["result"].GetInt(), -5);
  EXPECT_FALSE(ItemOf(Key(6)).HasMember("timed_out"));
}

TEST_F(ReportTest, TimedOutItemFails) {
  product_.AddModuleFile(
      "mod_core.xml", Probe("a", {{"timeout", "1"}, {"param", "--sleep-ms=30000"}}), "", "");
  ASSERT_EQ(RunProduct().exit_code, 210);
  EXPECT_THAT(Statuses(), ElementsAre("after_setup/" + Key(1) + ":failed"));
  EXPECT_TRUE(ItemOf(Key(1))["timed_out"].GetBool());
  EXPECT_EQ(Report()["error"]["code"].GetString(), std::string("InstallError:51"));
  // The signal that ended it is named (POSIX only: Windows has none).
  EXPECT_EQ(ItemOf(Key(1)).HasMember("signal"), !target().windows);
  if (!target().windows) {
    EXPECT_EQ(ItemOf(Key(1))["signal"].GetUint(), 15u);
    EXPECT_EQ(ItemOf(Key(1))["exit_code"].GetUint(), 128u + 15u);
  }
}

TEST_F(ReportTest, RestartCodeIsDoneAndTheResultFileSaysSoUntilARunWithoutOne) {
  // A code listed as asking for a restart is done, whatever "exitcode" says.
  product_.AddModuleFile(
      "mod_core.xml",
      Probe("a", {{"exitcode", "0"}, {"reboot_exitcode", "100;7"}, {"param", "--exit=7"}}),
      Probe("b"),
      Probe("c"));
  ASSERT_EQ(RunProduct().exit_code, 0);
  EXPECT_THAT(Messages(), Contains("I:exitCode asks for a restart , exitCode: 7"));
  EXPECT_EQ(ReadTextFile(ResultFile()),
            target().IniText({"[result]", "is_success=true", "reboot_required=true"}));
  EXPECT_TRUE(Report()["reboot_required"].GetBool());
  EXPECT_TRUE(ItemOf(Key(1))["reboot"].GetBool());
  EXPECT_STREQ(ItemOf(Key(1))["status"].GetString(), "succeeded");

  // A failed run after a restart-needing item still needs the restart.
  product_.AddModuleFile("mod_core.xml",
                         Probe("a", {{"reboot_exitcode", "7"}, {"param", "--exit=7"}}),
                         Probe("b", {{"exitcode", "0"}, {"param", "--exit=1"}}),
                         Probe("c"));
  ASSERT_EQ(RunProduct().exit_code, 210);
  const std::string detail = Result("error_info", "error_detail");
  EXPECT_EQ(ReadTextFile(ResultFile()),
            target().IniText({"[result]",
                              "is_success=false",
                              "reboot_required=true",
                              "[error_info]",
                              "error_path=",
                              "error_code=InstallError:50",
                              "error_detail=" + detail}));

  // A run that needs none takes the word back.
  product_.AddModuleFile("mod_core.xml", Probe("a"), Probe("b"), Probe("c"));
  ASSERT_EQ(RunProduct().exit_code, 0);
  EXPECT_EQ(ReadTextFile(ResultFile()),
            target().IniText({"[result]",
                              "is_success=true",
                              "[error_info]",
                              "error_path=",
                              "error_code=InstallError:50",
                              "error_detail=" + detail}));
  EXPECT_FALSE(Report()["reboot_required"].GetBool());
}

// A library entry that ends the process ends the run as a failure.
TEST_F(ReportTest, LibraryEntryThatEndsTheProcessFailsTheRun) {
  const std::string library = target().Library("lib/probe");
  product_.AddFile(library, target().probe_library);
  product_.AddModuleFile(
      "mod_core.xml",
      Item({{"type", "SimpleDll"}, {"file", target().Relative(library)}, {"entry", "EndProcess"}}),
      Probe("b"),
      Probe("c"));
  ASSERT_EQ(RunProduct().exit_code, 210);
  EXPECT_EQ(Result("error_info", "error_detail"), "library ended the process, file:" + At(library));
  EXPECT_EQ(Report()["exit_code"].GetInt(), 210);
  EXPECT_THAT(Statuses(),
              ElementsAre("after_setup/" + Key(1) + ":failed",
                          "open_selfprotect/" + Key(2) + ":not_reached",
                          "after_selfprotect/" + Key(3) + ":not_reached"));
}

TEST_F(ReportTest, RestartCodeOfAProgramNotWaitedForIsNotLookedAt) {
  product_.AddModuleFile(
      "mod_core.xml",
      Probe("a", {{"wait_for_exit", "0"}, {"reboot_exitcode", "259"}, {"param", "--sleep-ms=500"}}),
      Probe("b"),
      Probe("c"));
  ASSERT_EQ(RunProduct().exit_code, 0);
  EXPECT_EQ(ReadTextFile(ResultFile()), target().IniText({"[result]", "is_success=true"}));
  EXPECT_FALSE(Report()["reboot_required"].GetBool());
}

}  // namespace
}  // namespace e2e
