// taverly-plan against the real program: the plan it prints for a product is
// checked against what Taverly then does with the same product.
#include <rapidjson/document.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "tests/e2e/harness.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;

namespace e2e {
namespace {

// Console output with the line ends of this machine.
std::string Lines(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

// What a tree holds: every entry with its size and modification time.
std::map<std::string, std::string> Snapshot(const std::string& folder) {
  std::map<std::string, std::string> entries;
  std::error_code error;
  for (const auto& entry : fs::recursive_directory_iterator(folder, error)) {
    std::string facts = entry.is_directory() ? "dir" : std::to_string(entry.file_size());
    facts += " " + std::to_string(entry.last_write_time().time_since_epoch().count());
    entries[entry.path().string()] = facts;
  }
  return entries;
}

class PlanTest : public ProductTest {
 protected:
  PlanTest() { product_.AddFile(library_, target().probe_library); }

  std::string Library(const std::string& entry, const std::string& exitcode = "") {
    std::map<std::string, std::string> attributes = {
        {"type", "SimpleDll"}, {"file", target().Relative(library_)}, {"entry", entry}};
    if (!exitcode.empty()) attributes["exitcode"] = exitcode;
    return Item(attributes);
  }

  RunResult RunPlan(const std::vector<std::string>& extra = {}, bool as_nobody = false) {
    RunOptions options;
    options.program = PlanBinary();
    options.arguments = {"--installpath=" + product_.TargetFolder()};
    options.arguments.insert(options.arguments.end(), extra.begin(), extra.end());
    options.as_nobody = as_nobody;
    RunResult run = Run(options);
    run.out = Lines(run.out);
    run.err = Lines(run.err);
    return run;
  }

  // Nothing in the account's temporary folder: no log folder, no result file.
  void ExpectNoLogFolder() const {
    EXPECT_FALSE(fs::exists(LogDir()));
    if (target().temp_per_test) {
      EXPECT_TRUE(Snapshot(TempDir()).empty());
    }
  }

  const std::string library_ = target().Library("lib/probe");

  // The plan as JSON; fails the test when it does not parse.
  rapidjson::Document PlanJson(RunResult* run, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> arguments = {"--json"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    *run = RunPlan(arguments);
    rapidjson::Document json;
    json.Parse(run->out.c_str());
    EXPECT_FALSE(json.HasParseError()) << run->out;
    EXPECT_TRUE(json.IsObject());
    return json;
  }

  // The calls the plan says the run makes: probe tags and library entries.
  static std::vector<std::string> PlannedCalls(const rapidjson::Document& json) {
    std::vector<std::string> calls;
    for (const auto& phase : json["phases"].GetArray()) {
      if (!phase["reached"].GetBool()) break;
      for (const auto& item : phase["items"].GetArray()) {
        if (std::string(item["outcome"].GetString()) != "runs") continue;
        if (std::string(item["kind"].GetString()) == "SimpleDll") {
          calls.push_back(std::string("dll:") + item["entry"].GetString());
          continue;
        }
        const std::string param = item["param"].GetString();
        const size_t tag = param.find("--tag=");
        calls.push_back(tag == std::string::npos ? "?" : param.substr(tag + 6));
      }
    }
    return calls;
  }

  int RunProduct() { return RunWithInstallPath(product_.folder()).exit_code; }

  static std::set<std::string> WarningCodes(const rapidjson::Document& json) {
    std::set<std::string> codes;
    for (const auto& warning : json["warnings"].GetArray())
      codes.insert(warning["code"].GetString());
    return codes;
  }
};

TEST_F(PlanTest, PlannedOrderIsTheOrderTheRunCallsIn) {
  std::string first;
  for (int i = 1; i <= 10; ++i) first += Probe("k" + std::to_string(i));
  first += Probe("lower", {{"type", "exe"}}) + Probe("nosys", {{"system", "0"}}) +
           Probe("sys", {{"system", "1"}}) + Item({{"type", "Exe"}, {"file", "bin/missing"}});
  product_.AddModuleFile("mod_core.xml",
                         first,
                         Library("ReturnMinusOne", "0") + Probe("o"),
                         Library("ReturnZero") + Probe("s"));
  product_.AddModuleFile("mod_extra.xml", Probe("x"), "", "");
  product_.AddModuleFile("mod_absent.xml", Probe("never"), "", "");
  product_.SetInstalledModules({"core", "extra"});

  RunResult plan;
  const rapidjson::Document json = PlanJson(&plan);
  EXPECT_EQ(plan.exit_code, 0);
  EXPECT_TRUE(json["prediction"]["success"].GetBool());
  const std::vector<std::string> planned = PlannedCalls(json);
  // Keys: k1..k10 1-10, lower 11, nosys 12, sys 13, missing 14, then the
  // later phases 15-18, and mod_extra's x 19; "10" to "19" run before "2".
  const std::string gated = target().system_account ? "sys" : "nosys";
  EXPECT_EQ(planned,
            (std::vector<std::string>{"k1",
                                      "k10",
                                      gated,
                                      "x",
                                      "k2",
                                      "k3",
                                      "k4",
                                      "k5",
                                      "k6",
                                      "k7",
                                      "k8",
                                      "k9",
                                      "dll:ReturnMinusOne",
                                      "o",
                                      "dll:ReturnZero",
                                      "s"}));
  EXPECT_FALSE(fs::exists(product_.Path("calls.txt")));

  EXPECT_EQ(RunProduct(), 0);
  EXPECT_EQ(Calls(), planned);
}

TEST_F(PlanTest, TrapsWarnAndTheFailureIsPredicted) {
  std::string first;
  for (int i = 1; i <= 10; ++i) first += Probe("k" + std::to_string(i));
  first += Probe("lower", {{"type", "exe"}}) + Probe("abc", {{"exitcode", "abc"}}) +
           Probe("nosys", {{"system", "0"}}) + Library("ReturnMinusOne", "0");
  // after_selfprotect empty; when_no_user without as_user changes nothing.
  product_.AddModuleFile("mod_core.xml", first, Probe("o", {{"when_no_user", "skip"}}), "");
  product_.AddModuleFile("mod_absent.xml", Probe("never"), "", "");

  RunResult plan;
  const rapidjson::Document json = PlanJson(&plan);
  EXPECT_EQ(plan.exit_code, 1);
  EXPECT_FALSE(json["prediction"]["success"].GetBool());
  EXPECT_EQ(WarningCodes(json),
            (std::set<std::string>{"key-order",
                                   "type-skipped",
                                   "exitcode-misread",
                                   "system-gate",
                                   "library-expectation",
                                   "module-left-out",
                                   "when-no-user-unused",
                                   "empty-phase"}));

  // The text tells the same: every warning, every item's phrases.
  RunResult text = RunPlan();
  EXPECT_EQ(text.exit_code, 1);
  EXPECT_EQ(text.err, "");
  for (const auto& warning : json["warnings"].GetArray()) {
    EXPECT_THAT(text.out,
                HasSubstr(std::string("  [") + warning["code"].GetString() + "] " +
                          warning["text"].GetString() + "\n"));
  }
  for (const auto& phase : json["phases"].GetArray()) {
    for (const auto& item : phase["items"].GetArray()) {
      EXPECT_THAT(
          text.out,
          HasSubstr(std::string("  key ") + item["key"].GetString() + "  " +
                    item["type"].GetString() + "  " + item["outcome_text"].GetString() + "\n"));
      EXPECT_THAT(text.out,
                  HasSubstr(std::string("    path: ") + item["path"].GetString() + " (" +
                            item["path_status"].GetString() + ")\n"));
      EXPECT_THAT(text.out, HasSubstr(std::string("    expects: ") + item["expects"].GetString()));
    }
  }
  for (const auto& module : json["modules"].GetArray()) {
    EXPECT_THAT(text.out, HasSubstr(module["text"].GetString()));
  }
  EXPECT_THAT(
      text.out,
      HasSubstr(std::string("prediction: ") + json["prediction"]["text"].GetString() + "\n"));

  // The run fails where the plan said it would, after the same calls.
  EXPECT_EQ(RunProduct(), 210);
  EXPECT_EQ(Calls(), PlannedCalls(json));
}

// The rollback the plan tells for a failing item is the one the run makes.
TEST_F(PlanTest, FailAtTellsTheRollbackTheRunMakes) {
  const std::string record =
      "--record=%productpath%" + std::string(1, target().separator) + "calls.txt --tag=";
  const auto undo = [&](const std::string& tag) {
    return std::map<std::string, std::string>{
        {"undo", target().Relative(probe_) + " " + record + "undo-" + tag}};
  };
  std::map<std::string, std::string> failing = undo("e");
  failing["exitcode"] = "0";
  failing["param"] = record + "e --exit=3";
  product_.AddModuleFile(
      "mod_core.xml",
      Probe("a", undo("a")) + Probe("b", {{"rollback_boundary", "1"}}) + Probe("c", undo("c")),
      Probe("d", undo("d")) + Probe("s", {{"type", "exe"}, {"undo", "x"}}),
      Probe("e", failing));
  RunResult plan;
  const rapidjson::Document json = PlanJson(&plan, {"--fail-at=6"});
  std::vector<std::string> calls = {"a", "b", "c", "d", "e"};
  // Keys 1 to 6 are a, b, c, d, s and e.
  for (const auto& undone : json["rollback"]["undone"].GetArray()) {
    calls.push_back(std::string("undo-") + "abcdse"[std::stoi(undone["key"].GetString()) - 1]);
  }
  EXPECT_EQ(calls.size(), 8u);
  EXPECT_EQ(RunProduct(), 210);
  EXPECT_EQ(Calls(), calls);
}

TEST_F(PlanTest, CleanProductIsQuiet) {
  product_.AddModuleFile(
      "mod_core.xml", Probe("a", {{"exitcode", "0;3010"}}), Probe("b"), Probe("c"));
  RunResult json_run;
  const rapidjson::Document json = PlanJson(&json_run);
  EXPECT_EQ(json_run.exit_code, 0);
  EXPECT_TRUE(json["warnings"].Empty());
  RunResult text = RunPlan();
  EXPECT_EQ(text.exit_code, 0);
  EXPECT_THAT(text.out, HasSubstr("\nwarnings (0)\n  none\n"));
  EXPECT_EQ(RunProduct(), 0);
  EXPECT_EQ(Calls(), PlannedCalls(json));
}

// Windows reads attribute values in the ANSI code page, so a module file
// that holds UTF-8 beyond ASCII is named there; natively text is UTF-8.
TEST_F(PlanTest, ModuleFileBeyondAsciiIsWarnedAboutOnWindows) {
  product_.AddModuleFile("mod_core.xml",
                         Probe("pr\xC3\xBC"
                               "fen"),
                         Probe("b"),
                         Probe("c"));
  RunResult json_run;
  const rapidjson::Document json = PlanJson(&json_run);
  EXPECT_EQ(WarningCodes(json).count("module-file-not-ascii"), target().windows ? 1u : 0u);
  if (!target().windows) return;
  EXPECT_THAT(RunPlan().out,
              HasSubstr("  [module-file-not-ascii] mod_core.xml holds bytes beyond ASCII, which "
                        "Windows reads in the ANSI code page ("));
}

// Whoever may write the folder that holds the program may plant a library
// there; the plan beside it says so.
TEST_F(PlanTest, FolderOfTheProgramOpenToOthersIsWarnedAbout) {
  product_.AddModuleFile("mod_core.xml", Probe("a"), Probe("b"), Probe("c"));
  const std::string folder = tmp_.Join("bin");
  fs::create_directories(folder);
  fs::copy_file(PlanBinary(), folder + "/" + target().Program("taverly-plan"));
  RunOptions options;
  options.arguments = {"--installpath=" + product_.TargetFolder(), "--json"};
  options.program = folder + "/" + target().Program("taverly-plan");
  for (const unsigned mode : {0755u, 0777u}) {
    chmod(folder.c_str(), mode);
    rapidjson::Document json;
    json.Parse(Run(options).out.c_str());
    ASSERT_TRUE(json.IsObject());
    EXPECT_EQ(WarningCodes(json).count("writable-by-others"), mode == 0777u ? 1u : 0u) << mode;
  }
}

TEST_F(PlanTest, NothingIsWrittenStartedOrCalled) {
  product_.AddModuleFile("mod_core.xml",
                         Probe("a") + Library("ReturnMinusOne", "-1"),
                         Library("ReturnZero"),
                         Probe("c"));
  const auto product_before = Snapshot(product_.folder());
  for (const std::vector<std::string>& arguments :
       std::vector<std::vector<std::string>>{{}, {"--json"}, {"--load"}, {"--json", "--load"}}) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    RunResult run = RunPlan(arguments);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.err, "");
  }
  // No probe record, no library call (it writes calls.txt into the working
  // directory, the product folder), no log folder, no result file.
  EXPECT_EQ(Snapshot(product_.folder()), product_before);
  ExpectNoLogFolder();
  RunResult loaded;
  const rapidjson::Document json = PlanJson(&loaded, {"--load"});
  EXPECT_STREQ(json["phases"][1]["items"][0]["library"].GetString(), "loads");
}

TEST_F(PlanTest, RunsWhileARunHoldsTheInstanceLock) {
  // What the item prints is the evidence, and a windowless Taverly passes its
  // items no console output.
  if (target().windows) GTEST_SKIP() << "the windowless program hands its items no console";
  // Taverly holds the single-instance lock while it runs its items; one of
  // them is taverly-plan itself, which must still give its plan.
  const std::string plan = target().Program("bin/taverly-plan");
  product_.AddFile(plan, PlanBinary());
  product_.AddModuleFile("mod_core.xml",
                         Item({{"type", "Exe"},
                               {"file", target().Relative(plan)},
                               {"wait_for_exit", "1"},
                               {"exitcode", "0"},
                               {"param", "--installpath=%productpath%"}}),
                         Probe("b"),
                         Probe("c"));
  RunResult run = RunWithInstallPath(product_.folder());
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_THAT(Lines(run.out), HasSubstr("taverly-plan for " + product_.TargetFolder() + "\n"));
  EXPECT_THAT(Lines(run.out), HasSubstr("\nprediction: the run succeeds"));
}

TEST_F(PlanTest, AnyAccountGetsAPlanForItself) {
  if (target().windows) GTEST_SKIP() << "accounts are changed for native programs only";
  product_.AddModuleFile(
      "mod_core.xml", Probe("sys", {{"system", "1"}}) + Probe("a"), Probe("b"), Probe("c"));
  RunResult run = RunPlan({}, true);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_THAT(run.out, HasSubstr("account: not the system account\n"));
  EXPECT_THAT(run.out, HasSubstr("  skipped: system=\"1\" and this is not the system account\n"));
  ExpectNoLogFolder();
}

TEST_F(PlanTest, BadArgumentsEndWithTwo) {
  RunOptions options;
  options.program = PlanBinary();
  RunResult none = Run(options);
  EXPECT_EQ(none.exit_code, 2);
  EXPECT_THAT(Lines(none.err), HasSubstr("taverly-plan: --installpath= is missing\n\nusage: "));
  EXPECT_EQ(none.out, "");

  options.arguments = {"--installpath=" + product_.TargetPath("nowhere")};
  RunResult missing = Run(options);
  EXPECT_EQ(missing.exit_code, 2);
  EXPECT_EQ(Lines(missing.err),
            "taverly-plan: the installation path does not exist: " +
                product_.TargetPath("nowhere") + " (Taverly would end with exit code 202)\n");

  options.arguments = {"--installpath=" + product_.TargetFolder(), "--verbose"};
  EXPECT_EQ(Run(options).exit_code, 2);

  product_.AddModuleFile("mod_core.xml", Probe("a"), Probe("b"), Probe("c"));
  options.arguments = {"--installpath=" + product_.TargetFolder(), "--fail-at=4"};
  RunResult no_item = Run(options);
  EXPECT_EQ(no_item.exit_code, 2);
  EXPECT_EQ(Lines(no_item.err),
            "taverly-plan: --fail-at=4: no item has key \"4\" (the plan shows each item's key)\n");
}

}  // namespace
}  // namespace e2e
