// The run report TaverlyRunReport.json and restart-needing exit codes
// (reboot_exitcode): what an installer learns of a run besides its exit code.
#include <pwd.h>
#include <unistd.h>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/schema.h>
#include <rapidjson/stringbuffer.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <regex>
#include <set>
#include <thread>

#include <gmock/gmock.h>

#include "Utils/Version.h"
#include "tests/e2e/harness.h"

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsSupersetOf;

namespace e2e {
namespace {

const rapidjson::SchemaDocument& ReportSchema() {
  static const rapidjson::SchemaDocument* schema = [] {
    rapidjson::Document document;
    document.Parse(
        ReadTextFile(std::string(TAVERLY_E2E_SOURCE_DIR) + "/docs/run-report.schema.json").c_str());
    EXPECT_FALSE(document.HasParseError()) << "the schema does not parse";
    return new rapidjson::SchemaDocument(document);
  }();
  return *schema;
}

// Parses a report and checks it against the schema and its own sums.
testing::AssertionResult ValidReport(const std::string& text, rapidjson::Document* report) {
  report->Parse(text.c_str());
  if (report->HasParseError()) {
    return testing::AssertionFailure()
           << "does not parse: " << rapidjson::GetParseError_En(report->GetParseError()) << "\n"
           << text;
  }
  rapidjson::SchemaValidator validator(ReportSchema());
  if (!report->Accept(validator)) {
    rapidjson::StringBuffer where, rule;
    validator.GetInvalidSchemaPointer().StringifyUriFragment(rule);
    validator.GetInvalidDocumentPointer().StringifyUriFragment(where);
    return testing::AssertionFailure()
           << "breaks the schema at " << where.GetString() << " (" << rule.GetString() << ", "
           << validator.GetInvalidSchemaKeyword() << ")\n"
           << text;
  }
  const rapidjson::Value& counts = (*report)["counts"];
  uint64_t items = 0, sum = 0;
  for (const auto& phase : (*report)["phases"].GetArray()) items += phase["items"].Size();
  for (const char* status :
       {"succeeded", "failed", "skipped", "not_started", "not_reached", "running"}) {
    sum += counts[status].GetUint64();
  }
  if (counts["items"].GetUint64() != items || sum != items) {
    return testing::AssertionFailure() << "counts do not add up to the " << items << " items\n"
                                       << text;
  }
  return testing::AssertionSuccess();
}

class ReportTest : public ProductTest {
 protected:
  // The run's final report; fails the test when it is not a valid one.
  rapidjson::Document& Report() {
    EXPECT_TRUE(ValidReport(ReadTextFile(ReportFile()), &report_));
    return report_;
  }

  // "phase/key:status" of every item, in run order.
  std::vector<std::string> Statuses() {
    std::vector<std::string> statuses;
    for (const auto& phase : Report()["phases"].GetArray()) {
      for (const auto& item : phase["items"].GetArray()) {
        statuses.push_back(std::string(phase["name"].GetString()) + "/" + item["key"].GetString() +
                           ":" + item["status"].GetString());
      }
    }
    return statuses;
  }
  // "name reached succeeded" of every phase.
  std::vector<std::string> Phases() {
    std::vector<std::string> phases;
    for (const auto& phase : Report()["phases"].GetArray()) {
      phases.push_back(std::string(phase["name"].GetString()) +
                       (phase["reached"].GetBool() ? " reached" : " not-reached") +
                       (phase["succeeded"].GetBool() ? " succeeded" : ""));
    }
    return phases;
  }
  const rapidjson::Value& ItemOf(const std::string& key) {
    for (const auto& phase : Report()["phases"].GetArray()) {
      for (const auto& item : phase["items"].GetArray()) {
        if (key == item["key"].GetString()) return item;
      }
    }
    ADD_FAILURE() << "no item " << key;
    static const rapidjson::Value kNone;
    return kNone;
  }
  // The key the n-th item of this test's run got (keys go on across runs).
  std::string Key(int n) {
    if (first_key_ == 0) {
      for (const auto& module : Report()["modules"].GetArray()) {
        for (const auto& key : module["keys"].GetArray()) {
          const int value = std::atoi(key.GetString());
          if (first_key_ == 0 || value < first_key_) first_key_ = value;
        }
      }
    }
    return std::to_string(first_key_ + n - 1);
  }
  std::vector<std::string> LogFolderEntries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(LogDir())) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  rapidjson::Document report_;
  int first_key_ = 0;
};

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
  std::vector<std::string> entries = LogFolderEntries();
  entries.erase(std::remove_if(entries.begin(),
                               entries.end(),
                               [](const std::string& name) {
                                 return name.rfind("Taverly.", 0) == 0;  // the log and its link
                               }),
                entries.end());
  EXPECT_THAT(entries, ElementsAre("TaverlyResultInfo.dat", "TaverlyRunReport.json"));
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
  rapidjson::Document progress;
  const bool valid = ValidReport(ReadTextFile(ReportFile()), &progress);
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

TEST_F(ReportTest, SignalThatEndedAProgramIsNamed) {
  product_.AddModuleFile("mod_core.xml",
                         Probe("a", {{"param", "--sleep-ms=30000"}, {"timeout", "1"}}),
                         Probe("b"),
                         Probe("c"));
  EXPECT_EQ(RunProduct().exit_code, 210);
  const rapidjson::Value& item = Report()["phases"][0]["items"][0];
  EXPECT_TRUE(item["timed_out"].GetBool());
  if (target().windows) {
    EXPECT_FALSE(item.HasMember("signal"));
    return;
  }
  EXPECT_EQ(item["signal"].GetUint(), 15u);
  EXPECT_EQ(item["exit_code"].GetUint(), 128u + 15u);
}

TEST_F(ReportTest, PlanAndReportJoinOnKey) {
  product_.AddFile(target().Library("lib/probe"), target().probe_library);
  product_.AddModuleFile("mod_core.xml",
                         Probe("a") + Probe("lower", {{"type", "exe"}}) +
                             Item({{"type", "SimpleDll"},
                                   {"file", target().Relative(target().Library("lib/probe"))},
                                   {"entry", "ReturnMinusOne"}}),
                         Probe("b"),
                         Probe("c"));
  product_.AddModuleFile("mod_off.xml", Probe("never"), "", "");
  RunOptions plan;
  plan.program =
      (fs::path(TaverlyBinary()).parent_path() / target().Program("taverly-plan")).string();
  plan.arguments = {"--installpath=" + product_.TargetFolder(), "--json"};
  RunResult planned = Run(plan);
  ASSERT_EQ(planned.exit_code, 0) << planned.err;
  ASSERT_EQ(RunProduct().exit_code, 0);

  rapidjson::Document plan_json;
  plan_json.Parse(planned.out.c_str());
  ASSERT_FALSE(plan_json.HasParseError());
  std::map<std::string, const rapidjson::Value*> planned_items;
  for (const auto& phase : plan_json["phases"].GetArray()) {
    for (const auto& item : phase["items"].GetArray())
      planned_items[item["key"].GetString()] = &item;
  }
  size_t joined = 0;
  for (const auto& phase : Report()["phases"].GetArray()) {
    for (const auto& item : phase["items"].GetArray()) {
      auto match = planned_items.find(item["key"].GetString());
      ASSERT_NE(match, planned_items.end()) << item["key"].GetString();
      for (const char* field : {"module_file", "type", "file", "path"}) {
        EXPECT_STREQ((*match->second)[field].GetString(), item[field].GetString()) << field;
      }
      const std::string prediction = (*match->second)["prediction"].GetString();
      const std::string status = item["status"].GetString();
      EXPECT_TRUE(prediction == status || (prediction == "runs" && status == "succeeded"))
          << prediction << " / " << status;
      ++joined;
    }
  }
  EXPECT_EQ(joined, planned_items.size());
  EXPECT_EQ(joined, 5u);
  ASSERT_EQ(plan_json["modules"].Size(), Report()["modules"].Size());
  for (rapidjson::SizeType i = 0; i < plan_json["modules"].Size(); ++i) {
    EXPECT_STREQ(plan_json["modules"][i]["file"].GetString(),
                 Report()["modules"][i]["file"].GetString());
    EXPECT_STREQ(plan_json["modules"][i]["reason"].GetString(),
                 Report()["modules"][i]["reason"].GetString());
  }
}

TEST_F(ReportTest, CountsAddUpOverManyProducts) {
  // Products made at random from the pieces a run tells apart; each report
  // must pass the schema and count every item the catalogue admitted.
  std::mt19937 random(20261208);
  const std::vector<std::string> pieces = {
      Probe("ok"),
      Probe("bad", {{"exitcode", "0"}, {"param", "--exit=3"}}),
      Probe("lower", {{"type", "exe"}}),
      Item({{"type", "Exe"}, {"file", target().Relative("bin/missing")}}),
      Item({{"type", "Exe"}}),  // no file: dropped by the catalogue
      Probe("restart", {{"reboot_exitcode", "5"}, {"param", "--exit=5"}}),
  };
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    std::string phases[3];
    int admitted = 0;
    for (std::string& phase : phases) {
      const int count = static_cast<int>(random() % 4);  // an empty phase now and then
      for (int i = 0; i < count; ++i) {
        const size_t piece = random() % pieces.size();
        phase += pieces[piece];
        if (piece != 4) ++admitted;
      }
    }
    product_.AddModuleFile("mod_core.xml", phases[0], phases[1], phases[2]);
    RunProduct();
    rapidjson::Document report;
    ASSERT_TRUE(ValidReport(ReadTextFile(ReportFile()), &report));
    EXPECT_EQ(report["counts"]["items"].GetInt(), admitted);
    EXPECT_EQ(report["counts"]["running"].GetInt(), 0);
  }
}

}  // namespace
}  // namespace e2e
