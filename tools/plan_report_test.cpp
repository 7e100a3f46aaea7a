#include "tools/plan_report.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <string>
#include <vector>

#include "Platform/system/system.h"
#include "tools/plan_events.h"
#include "tools/plan_tool.h"

namespace {

// The module file, with the separator the report looks for.
std::wstring CoreModulePath() {
  const std::wstring separator(1, platform::kPathSeparator);
  return L"/p" + separator + L"modularize" + separator + L"mod_core.xml";
}

// The items of the sample plan: a program, a skipped type, a library.
PlannedItem SampleExe() {
  PlannedItem exe;
  exe.key = "10";
  exe.module_file = CoreModulePath();
  exe.file = "bin/tool";
  exe.path = L"/p/bin/tool";
  exe.type = "Exe";
  exe.has_expectation = true;
  exe.exitcode = "0;abc";
  exe.expected_codes = {{"0", 0, true}, {"abc", 0, false}};
  exe.parameters = L"--root /p";
  exe.kind = ItemKind::kExe;
  exe.wait = true;
  exe.file_exists = true;
  exe.can_start = true;

  return exe;
}

PlannedItem SampleSkipped() {
  PlannedItem skipped;
  skipped.key = "9";
  skipped.module_file = CoreModulePath();
  skipped.file = "bin/other";
  skipped.path = L"/p/bin/other";
  skipped.type = "exe";
  skipped.kind = ItemKind::kSkipped;
  skipped.outcome = ItemOutcome::kSkipped;
  skipped.why = L"type \"exe\" is neither \"Exe\" nor \"SimpleDll\"";

  return skipped;
}

PlannedItem SampleLibrary() {
  PlannedItem dll;
  dll.key = "11";
  dll.module_file = CoreModulePath();
  dll.file = "lib/x.so";
  dll.path = L"/p/lib/x.so";
  dll.type = "SimpleDll";
  dll.has_expectation = true;
  dll.exitcode = "0";
  dll.expected_codes = {{"0", 0, true}};
  dll.kind = ItemKind::kSimpleDll;
  dll.entry = "Register";
  dll.file_exists = true;

  return dll;
}

// A plan as BuildPlan would make it for a small product in /p.
Plan SamplePlan() {
  Plan plan;
  plan.product_folder = L"/p";
  plan.system_account = false;
  plan.catalogue_loaded = true;
  plan.phases = {{"after_setup", true, false, {SampleExe(), SampleSkipped()}},
                 {"open_selfprotect", true, false, {SampleLibrary()}},
                 {"after_selfprotect", true, false, {}}};
  ModuleEntry module;
  module.record.path = CoreModulePath();
  module.record.outcome = ModuleFileRecord::kLoaded;
  module.record.item_keys = {"9", "10", "11"};
  module.judged = true;
  module.verdict.installed = true;
  module.verdict.reason = ModuleVerdictReason::kInstalled;
  module.verdict.module_name = "core";
  plan.modules = {module};

  plan.security_base.path = L"/p/libBrindle.so";
  plan.security_base.present = true;
  plan.security_base.verdict = signing::kValidKey0;

  plan.warnings = {{"empty-phase", L"phase after_selfprotect has no item"}};
  plan.prediction = L"the run fails";
  return plan;
}

TEST(PlanReportTest, TextTellsEveryItemPhaseByPhase) {
  EXPECT_EQ(
      "taverly-plan for /p\n"
      "account: not the system account\n"
      "libraries: not loaded (--load loads them to find their entries)\n"
      "\n"
      "phase after_setup: 2 item(s) in run order\n"
      "  key 10  Exe  runs\n"
      "    module file: mod_core.xml\n"
      "    file: bin/tool\n"
      "    path: /p/bin/tool (exists, can be started)\n"
      "    param: --root /p\n"
      "    wait_for_exit: yes\n"
      "    system: (none)\n"
      "    expects: exit code 0, 0 (from \"abc\") (exitcode \"0;abc\")\n"
      "  key 9  exe  skipped: type \"exe\" is neither \"Exe\" nor \"SimpleDll\"\n"
      "    module file: mod_core.xml\n"
      "    file: bin/other\n"
      "    path: /p/bin/other (does not exist)\n"
      "    param: (none)\n"
      "    wait_for_exit: no\n"
      "    system: (none)\n"
      "    expects: any exit code (no exitcode)\n"
      "\n"
      "phase open_selfprotect: 1 item(s) in run order\n"
      "  key 11  SimpleDll  runs\n"
      "    module file: mod_core.xml\n"
      "    file: lib/x.so\n"
      "    path: /p/lib/x.so (exists; --load checks that it loads)\n"
      "    entry: Register\n"
      "    expects: the entry returns -1 (exitcode \"0\" only asks for a check)\n"
      "\n"
      "phase after_selfprotect: 0 item(s) in run order\n"
      "\n"
      "modules (in search order)\n"
      "  mod_core.xml: admitted: \"core\" has state \"1\"; keys 9, 10, 11\n"
      "\n"
      "security base\n"
      "  /p/libBrindle.so: signature verdict 2 (valid with key 0): refused; the run goes on "
      "without it\n"
      "\n"
      "event records\n"
      "  on, nowhere: this machine has neither a journal nor a syslog socket\n"
      "  1001 run-started: always\n"
      "  1002 item-failed: if-an-item-fails\n"
      "  1004 run-failed: always\n"
      "\n"
      "warnings (1)\n"
      "  [empty-phase] phase after_selfprotect has no item\n"
      "\n"
      "prediction: the run fails\n",
      PlanText(SamplePlan()));
}

TEST(PlanReportTest, JsonCarriesWhatTheTextSays) {
  const Plan plan = SamplePlan();
  const std::string text = PlanText(plan);
  rapidjson::Document json;
  json.Parse(PlanJson(plan).c_str());
  ASSERT_FALSE(json.HasParseError());
  EXPECT_STREQ("/p", json["product_folder"].GetString());
  EXPECT_FALSE(json["system_account"].GetBool());

  const auto& phases = json["phases"];
  ASSERT_EQ(3u, phases.Size());
  const auto& exe = phases[0]["items"][0];
  EXPECT_STREQ("10", exe["key"].GetString());
  EXPECT_STREQ("runs", exe["outcome"].GetString());
  EXPECT_TRUE(exe["wait_for_exit"].GetBool());
  ASSERT_EQ(2u, exe["expected_codes"].Size());
  EXPECT_STREQ("abc", exe["expected_codes"][1]["text"].GetString());
  EXPECT_EQ(0, exe["expected_codes"][1]["value"].GetInt());
  EXPECT_FALSE(exe["expected_codes"][1]["exact"].GetBool());
  EXPECT_STREQ("skipped", phases[0]["items"][1]["outcome"].GetString());
  const auto& dll = phases[1]["items"][0];
  EXPECT_STREQ("not-checked", dll["library"].GetString());
  EXPECT_EQ(-1, dll["expected_result"].GetInt());
  EXPECT_TRUE(phases[2]["items"].Empty());

  // Every phrase of the JSON stands in the text as it is.
  for (const auto& phase : phases.GetArray()) {
    for (const auto& item : phase["items"].GetArray()) {
      for (const char* field : {"outcome_text", "path_status", "expects", "path", "file"}) {
        EXPECT_NE(std::string::npos, text.find(item[field].GetString())) << field;
      }
    }
  }
  const auto& module = json["modules"][0];
  EXPECT_STREQ("loaded", module["outcome"].GetString());
  EXPECT_STREQ("installed", module["reason"].GetString());
  EXPECT_NE(std::string::npos, text.find(module["text"].GetString()));
  EXPECT_EQ(2, json["security_base"]["verdict"].GetInt());
  EXPECT_FALSE(json["security_base"]["accepted"].GetBool());
  EXPECT_NE(std::string::npos, text.find(json["security_base"]["text"].GetString()));
  ASSERT_EQ(1u, json["warnings"].Size());
  EXPECT_STREQ("empty-phase", json["warnings"][0]["code"].GetString());
  EXPECT_NE(std::string::npos, text.find(json["warnings"][0]["text"].GetString()));
  EXPECT_FALSE(json["prediction"]["success"].GetBool());
  EXPECT_STREQ("the run fails", json["prediction"]["text"].GetString());
}

// The kinds a run would write follow the prediction and what its items can
// do; with the records off there are none, and the JSON says the same.
TEST(PlanReportTest, EventRecordsFollowThePrediction) {
  using Kinds = std::vector<std::string>;
  const auto kinds = [](const Plan& plan) {
    Kinds names;
    for (const PlannedRecord& record : PlannedRecords(plan)) {
      names.push_back(std::to_string(FactsOf(record.kind).event_id) + ":" +
                      std::to_string(static_cast<int>(record.when)));
    }
    return names;
  };
  Plan plan = SamplePlan();
  EXPECT_EQ(kinds(plan), (Kinds{"1001:0", "1002:1", "1004:0"}));
  plan.predicts_success = true;
  EXPECT_EQ(kinds(plan), (Kinds{"1001:0", "1002:1", "1003:2", "1004:1"}));
  // Items that check nothing cannot fail; one that may stop the run for a restart.
  for (PlannedPhase& phase : plan.phases) {
    for (PlannedItem& item : phase.items) item.has_expectation = false;
  }
  plan.phases[0].items[0].exit_classes.restart_now_codes = {3010};
  EXPECT_EQ(kinds(plan), (Kinds{"1001:0", "1003:2", "1005:3"}));
  plan.phases[0].reached = false;
  EXPECT_EQ(kinds(plan), (Kinds{"1001:0", "1003:2"}));

  rapidjson::Document json;
  json.Parse(PlanJson(plan).c_str());
  ASSERT_FALSE(json.HasParseError());
  const auto& records = json["event_records"];
  EXPECT_TRUE(records["on"].GetBool());
  EXPECT_STREQ("none", records["sink"].GetString());
  ASSERT_EQ(2u, records["records"].Size());
  EXPECT_STREQ("run-succeeded", records["records"][1]["kind"].GetString());
  EXPECT_EQ(1003, records["records"][1]["event_id"].GetInt());
  EXPECT_STREQ("75a6c2d4f3e089af25bf47b56b3d12f6", records["records"][1]["message_id"].GetString());
  EXPECT_STREQ("if-every-item-passes", records["records"][1]["when"].GetString());

  // A rollback's record where a failure would undo something: the program
  // item has an undo, the library after it can fail.
  plan.phases[0].reached = true;
  plan.phases[0].items[0].undo.program_path = L"/p/bin/undo";
  plan.phases[1].items[0].has_expectation = true;
  EXPECT_EQ(kinds(plan), (Kinds{"1001:0", "1002:1", "1006:1", "1003:2", "1004:1", "1005:3"}));
  plan.predicts_success = false;  // after every item, as an empty phase fails the run
  EXPECT_EQ(kinds(plan), (Kinds{"1001:0", "1002:1", "1006:0", "1004:0", "1005:3"}));

  plan.event_records = false;
  EXPECT_TRUE(kinds(plan).empty());
  EXPECT_NE(
      std::string::npos,
      PlanText(plan).find("\nevent records\n  off (--event-records=off): the run writes none\n"));
}

TEST(PlanReportTest, ItemPhrasesFollowTheChecks) {
  PlannedItem item;
  item.kind = ItemKind::kSimpleDll;
  item.entry = "Go";
  item.file_exists = true;
  item.library = LibraryCheck::kLoads;
  EXPECT_EQ(L"exists, loads and exports \"Go\"", PathStatusText(item, true));
  item.library = LibraryCheck::kNoEntry;
  EXPECT_EQ(L"exists, loads, but exports no \"Go\"", PathStatusText(item, true));
  item.library = LibraryCheck::kNoLoad;
  item.load_error = 8;
  EXPECT_EQ(L"exists, does not load (error 8)", PathStatusText(item, true));
  EXPECT_EQ(L"any result (no exitcode)", ExpectsText(item));

  item.kind = ItemKind::kExe;
  item.can_start = false;
  EXPECT_EQ(L"exists, cannot be started", PathStatusText(item, false));
  item.has_expectation = true;
  item.exitcode = ";";
  EXPECT_EQ(L"no exit code at all (exitcode \";\" holds no code)", ExpectsText(item));
  item.outcome = ItemOutcome::kDoesNothing;
  item.why = L"the program does not exist";
  EXPECT_EQ(L"does nothing: the program does not exist", OutcomeText(item));

  SecurityBaseEntry base;
  EXPECT_EQ(L"missing: the run goes on without it", SecurityBaseText(base));
  base.present = true;
  base.verdict = signing::kValidKey1;
  base.accepted = true;
  EXPECT_EQ(
      L"signature verdict 3 (valid with key 1): accepted; the run loads and starts it "
      L"before the phases",
      SecurityBaseText(base));
}

TEST(PlanArgumentsTest, ReadsTheOptionsAndRefusesTheRest) {
  PlanArguments parsed;
  std::string error;
  ASSERT_TRUE(ParsePlanArguments(
      {"--installpath=/a", "", "--json", "--installpath=/b c", "--load"}, &parsed, &error));
  EXPECT_EQ("/b c", parsed.install_path);  // the later option wins, as in the program
  EXPECT_TRUE(parsed.json);
  EXPECT_TRUE(parsed.load);
  EXPECT_FALSE(parsed.conditions);
  ASSERT_TRUE(ParsePlanArguments(
      {"--installpath=/a", "--conditions", "--fail-at=3", "--fail-at=12"}, &parsed, &error));
  EXPECT_TRUE(parsed.conditions);
  EXPECT_EQ("12", parsed.fail_at);
  EXPECT_TRUE(parsed.event_records);
  ASSERT_TRUE(ParsePlanArguments({"--installpath=/a", "--event-records=off"}, &parsed, &error));
  EXPECT_FALSE(parsed.event_records);
  // A value the program does not understand keeps its records on, as there.
  ASSERT_TRUE(ParsePlanArguments({"--installpath=/a", "--event-records=OFF"}, &parsed, &error));
  EXPECT_TRUE(parsed.event_records);
  EXPECT_EQ(parsed.event_records_unknown, "--event-records=OFF");

  const struct {
    std::vector<std::string> args;
    std::string error;
  } bad[] = {
      {{}, "--installpath= is missing"},
      {{"--json"}, "--installpath= is missing"},
      {{"--installpath=/a", "--verbose"}, "unknown argument: --verbose"},
      {{"--installpath", "/a"}, "unknown argument: --installpath"},
  };
  for (const auto& c : bad) {
    PlanArguments ignored;
    EXPECT_FALSE(ParsePlanArguments(c.args, &ignored, &error));
    EXPECT_EQ(c.error, error);
  }

  PlanArguments help;
  EXPECT_TRUE(ParsePlanArguments({"--help"}, &help, &error));
  EXPECT_TRUE(help.help);
  PlanArguments empty_path;
  EXPECT_TRUE(ParsePlanArguments({"--installpath="}, &empty_path, &error));
  EXPECT_TRUE(empty_path.has_install_path);
  EXPECT_EQ("", empty_path.install_path);
}

}  // namespace
