#include "tools/plan_fixture_test.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "Platform/system/system.h"
#include "Utils/PathUtils.h"
#include "tests/support/builders.h"
#include "tests/support/platform_facts.h"
#include "tests/support/temp_folder.h"
#include "tools/plan_as_user.h"
#include "tools/plan_parts.h"
#include "tools/plan_report.h"

namespace fs = std::filesystem;
using ::testing::ElementsAre;

namespace {

using plan_test::Codes;
using plan_test::Count;
using plan_test::PlanTest;
using plan_test::Texts;

TEST_F(PlanTest, CleanProductIsPlannedQuietlyInRunOrder) {
  WriteModule("mod_core.xml",
              ModuleXml(Exe({{"exitcode", "0;3010"}, {"param", "--at %productpath%/x"}}) +
                            Dll({{"exitcode", "-1"}}),
                        Exe({{"exitcode", ""}}),
                        Dll()));
  const Plan plan = Planned();
  EXPECT_TRUE(Codes(plan).empty()) << ::testing::PrintToString(Texts(plan));
  EXPECT_TRUE(plan.catalogue_loaded);
  EXPECT_TRUE(plan.predicts_success);
  EXPECT_EQ(
      L"the run succeeds when every started program and called entry gives a result its "
      L"item accepts; Taverly then ends with exit code 0",
      plan.prediction);
  EXPECT_TRUE(plan.system_account == platform::IsSystemAccount());
  EXPECT_FALSE(plan.security_base.present);
  EXPECT_EQ(SecurityBasePath(AnsiToWide(product_)), plan.security_base.path);

  ASSERT_EQ(3u, plan.phases.size());
  EXPECT_EQ("after_setup", plan.phases[0].name);
  EXPECT_EQ("open_selfprotect", plan.phases[1].name);
  EXPECT_EQ("after_selfprotect", plan.phases[2].name);
  ASSERT_EQ(2u, plan.phases[0].items.size());
  const PlannedItem& exe = plan.phases[0].items[0];
  EXPECT_EQ(ItemKind::kExe, exe.kind);
  EXPECT_EQ(ItemOutcome::kRuns, exe.outcome);
  EXPECT_EQ(AnsiToWide(ModuleFile("mod_core.xml")), exe.module_file);
  EXPECT_EQ(AnsiToWide(JoinPath(product_, probe_)), exe.path);
  EXPECT_EQ(AnsiToWide("--at " + product_ + "/x"), exe.ShownParameters());
  EXPECT_TRUE(exe.file_exists);
  EXPECT_TRUE(exe.can_start);
  EXPECT_TRUE(exe.wait);
  ASSERT_EQ(2u, exe.expected_codes.size());
  EXPECT_EQ(3010, exe.expected_codes[1].value);
  const PlannedItem& dll = plan.phases[0].items[1];
  EXPECT_EQ(ItemKind::kSimpleDll, dll.kind);
  EXPECT_EQ("ReturnMinusOne", dll.entry);
  EXPECT_EQ(LibraryCheck::kNotChecked, dll.library);
  EXPECT_EQ(std::stoi(exe.key) + 1, std::stoi(dll.key));

  ASSERT_EQ(1u, plan.modules.size());
  EXPECT_EQ(ModuleFileRecord::kLoaded, plan.modules[0].record.outcome);
  EXPECT_TRUE(plan.modules[0].judged);
  EXPECT_EQ(L"admitted: \"core\" has state \"1\"; keys " + AnsiToWide(exe.key) + L", " +
                AnsiToWide(dll.key) + L", " + AnsiToWide(plan.phases[1].items[0].key) + L", " +
                AnsiToWide(plan.phases[2].items[0].key),
            ModuleText(plan.modules[0]));
}

TEST_F(PlanTest, TimeLimitAndOutputAreShownAsTheRunUsesThem) {
  const Plan plan =
      PlanWith(Exe({{"timeout", "30"}, {"log_output", "1"}}) + Exe({{"timeout", "soon"}}) + Exe());
  const std::vector<PlannedItem>& items = plan.phases[0].items;
  ASSERT_EQ(3u, items.size());
  EXPECT_EQ(30u, items[0].timeout_seconds);
  EXPECT_TRUE(items[0].capture_output);
  EXPECT_EQ(L"30 s, then the program and what it started are ended and the item fails",
            TimeoutText(items[0]));
  EXPECT_EQ(L"yes: its output goes into the log", LogOutputText(items[0]));
  EXPECT_EQ(L"\"soon\" is not used", TimeoutText(items[1]));
  EXPECT_EQ(L"none", TimeoutText(items[2]));
  EXPECT_EQ(L"no", LogOutputText(items[2]));

  // The text shows them where they are written; JSON always.
  const std::string text = PlanText(plan);
  EXPECT_NE(std::string::npos, text.find("    timeout: 30 s, then the program"));
  EXPECT_NE(std::string::npos, text.find("    log_output: yes: its output goes into the log\n"));
  EXPECT_EQ(2u, Count(text, "    timeout: "));
  const std::string json = PlanJson(plan);
  EXPECT_NE(std::string::npos, json.find("\"timeout_seconds\": 30"));
  size_t exe_items = 0;
  for (const PlannedPhase& phase : plan.phases) exe_items += phase.items.size();
  EXPECT_EQ(exe_items, Count(json, "\"captures_output\""));
}

TEST_F(PlanTest, SystemGateDecidesForThisAccount) {
  const Plan plan =
      PlanWith(Exe({{"system", "1"}}) + Exe({{"system", "0"}}) + Exe({{"system", "2"}}));
  const std::vector<PlannedItem>& items = plan.phases[0].items;
  ASSERT_EQ(3u, items.size());
  const bool system = platform::IsSystemAccount();
  EXPECT_EQ(system ? ItemOutcome::kRuns : ItemOutcome::kSkipped, items[0].outcome);
  EXPECT_EQ(system ? ItemOutcome::kSkipped : ItemOutcome::kRuns, items[1].outcome);
  EXPECT_EQ(ItemOutcome::kRuns, items[2].outcome);
  EXPECT_EQ((std::vector<std::string>{"system-gate", "system-gate"}), Codes(plan));
  const std::string where = "phase after_setup, key " + items[1].key + " (mod_core.xml)";
  EXPECT_EQ(where + ": system=\"0\" runs the item only under accounts other than the system one; " +
                (system ? "this is the system account, so it is skipped here"
                        : "this is not the system account, so it runs here"),
            Texts(plan)[1]);
  EXPECT_EQ(system ? L"system=\"0\" and this is the system account"
                   : L"system=\"1\" and this is not the system account",
            items[system ? 1 : 0].why);
}

TEST_F(PlanTest, LoadingFindsEntriesWithoutCallingThem) {
  WriteTextFile(JoinPath(product_, "lib/junk.so"), "not a library");
  PlanOptions options;
  options.load_libraries = true;
  const std::string calls = JoinPath(fs::current_path().string(), "calls.txt");
  const bool calls_before = fs::exists(calls);
  const Plan plan =
      PlanWith(Dll() + Dll({{"entry", "NoSuchEntry"}}) + Dll({{"file", "lib/junk.so"}}), options);
  const std::vector<PlannedItem>& items = plan.phases[0].items;
  ASSERT_EQ(3u, items.size());
  EXPECT_EQ(LibraryCheck::kLoads, items[0].library);
  EXPECT_EQ(ItemOutcome::kRuns, items[0].outcome);
  EXPECT_EQ(LibraryCheck::kNoEntry, items[1].library);
  EXPECT_EQ(L"the library exports no \"NoSuchEntry\"", items[1].why);
  EXPECT_EQ(LibraryCheck::kNoLoad, items[2].library);
  EXPECT_NE(0u, items[2].load_error);
  EXPECT_EQ(ItemOutcome::kDoesNothing, items[2].outcome);
  EXPECT_EQ((std::vector<std::string>{"library-entry", "library-entry"}), Codes(plan));
  // The probe library records every call of its entries.
  EXPECT_EQ(calls_before, fs::exists(calls));
  EXPECT_FALSE(fs::exists(JoinPath(product_, "calls.txt")));

  // Without --load the same libraries are only looked at.
  const Plan quiet = PlanWith(Dll({{"entry", "NoSuchEntry"}}));
  EXPECT_EQ(LibraryCheck::kNotChecked, quiet.phases[0].items[0].library);
  EXPECT_TRUE(quiet.warnings.empty());
  // An undo entry is looked up in the same library.
  const Plan undo = PlanWith(Dll({{"undo_entry", "NoSuchUndo"}}), options);
  EXPECT_EQ(Where(undo) +
                ": the library exports no \"NoSuchUndo\": a rollback cannot take the "
                "item back",
            Texts(undo).at(0));
}

TEST_F(PlanTest, EmptyPhaseFailsTheRunAndLaterPhasesAreNotReached) {
  WriteModule("mod_core.xml", ModuleXml(Exe(), "", Exe()));
  const Plan plan = Planned();
  EXPECT_FALSE(plan.predicts_success);
  EXPECT_EQ(L"the run fails: phase open_selfprotect has no item; Taverly ends with exit code 210",
            plan.prediction);
  EXPECT_THAT(Texts(plan),
              ElementsAre("phase open_selfprotect has no item: the run fails here "
                          "and later phases do not run"));
  EXPECT_TRUE(plan.phases[0].reached);
  EXPECT_TRUE(plan.phases[1].reached);
  EXPECT_FALSE(plan.phases[2].reached);
  EXPECT_EQ(1u, plan.phases[2].items.size());  // still shown

  // Without module_config.dat nothing is admitted: every phase is empty.
  fs::remove(ModuleFile("module_config.dat"));
  const Plan none = Planned();
  EXPECT_FALSE(none.predicts_success);
  EXPECT_EQ((std::vector<std::string>{"module-left-out", "empty-phase"}), Codes(none));
  EXPECT_EQ(ModuleVerdictReason::kNoConfig, none.modules[0].verdict.reason);
}

// A signed item that cannot run as checked fails the run where it stands:
// the prediction says so, and nothing after it is reached.
TEST_F(PlanTest, SignedItemThatCannotRunFailsThePrediction) {
  WriteModule("mod_core.xml", ModuleXml(Exe({{"signed", "1"}}) + Exe(), Exe(), Dll()));
  const Plan plan = Planned();
  const PlannedItem& refused = plan.phases[0].items[0];
  EXPECT_FALSE(plan.predicts_success);
  EXPECT_EQ(L"the run fails: item " + AnsiToWide(refused.key) +
                L" is signed=\"1\" and cannot run as checked (error code 52); Taverly ends "
                L"with exit code 210",
            plan.prediction);
  EXPECT_EQ(ItemOutcome::kFails, refused.outcome);
  EXPECT_EQ(L"fails with error code 52: signed=\"1\" and its signature verdict is 0 (not signed)",
            OutcomeText(refused));
  EXPECT_STREQ("failed", PredictionName(refused, true));
  EXPECT_FALSE(plan.phases[0].items[1].reached);
  EXPECT_STREQ("not_reached", PredictionName(plan.phases[0].items[1], true));
  EXPECT_EQ(L"not reached: an item before it fails the run", OutcomeText(plan.phases[0].items[1]));
  EXPECT_TRUE(plan.phases[0].reached);
  EXPECT_FALSE(plan.phases[1].reached);
  EXPECT_FALSE(plan.phases[2].reached);
}

// Whom an as_user item would run as, through scripted sessions ("!": they
// cannot be read): its line, then its outcome.
TEST_F(PlanTest, AsUserShowsWhomTheItemRunsAsOrWhatNoUserDoes) {
  const std::string fails = "fails with error code 54";
  const std::string none = "no user is logged on: ";
  struct {
    std::string items;
    std::vector<std::string> sessions;
    std::string expected;
  } rows[] = {
      {Exe({{"as_user", "active"}}), {"alice c2"}, "runs as alice (session c2) | runs"},
      {Exe({{"as_user", "all"}}),
       {"alice c2", "bob 3"},
       "runs as alice (session c2); runs as bob (session 3) | runs"},
      {Exe({{"as_user", "active"}}),
       {},
       none + "passed over | skipped: as_user=\"active\" and no user is logged on"},
      {Exe({{"as_user", "all"}, {"when_no_user", "fail"}}),
       {"!"},
       "the sessions cannot be read (error 5); " + none + fails + " | " + fails +
           ": as_user=\"all\", when_no_user=\"fail\" and no user is logged on"},
      {Exe({{"as_user", "Active"}}),
       {},
       "not a value as_user takes (\"active\" or \"all\"): " + fails + " | " + fails +
           ": as_user=\"Active\" is neither \"active\" nor \"all\""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.items);
    PlanOptions options;
    options.find_sessions = [&row](platform::SessionChoice choice,
                                   const std::wstring&,
                                   std::vector<platform::UserSession>* sessions,
                                   uint32_t* error) {
      EXPECT_EQ(row.items.find("\"all\"") != std::string::npos,
                choice == platform::SessionChoice::kAll);
      if (!row.sessions.empty() && row.sessions[0] == "!") *error = 5;
      for (const std::string& session : row.sessions) {
        const size_t blank = session.find(' ');
        if (blank == std::string::npos) return false;
        sessions->emplace_back();
        sessions->back().user = AnsiToWide(session.substr(0, blank));
        sessions->back().session = AnsiToWide(session.substr(blank + 1));
      }
      return true;
    };
    const Plan plan = PlanWith(row.items, options);
    const PlannedItem& item = plan.phases[0].items[0];
    EXPECT_EQ(row.expected, WideToAnsi(AsUserText(item) + L" | " + OutcomeText(item)));
    EXPECT_EQ(1u, Count(PlanText(plan), "    as_user: \"" + item.as_user.as_user));
    EXPECT_EQ(row.expected.find(" | " + fails) == std::string::npos, plan.predicts_success);
    EXPECT_EQ(item.as_user.mode == AsUser::kUnknown,
              Codes(plan) == std::vector<std::string>{"as-user-unknown"});
    const std::string json = PlanJson(plan);
    EXPECT_EQ(item.outcome == ItemOutcome::kSkipped, Count(json, "\"skipped_by\": \"as_user\""));
    EXPECT_EQ(item.outcome == ItemOutcome::kRuns, Count(json, "\"as_user\": [\n"));
  }
}

TEST_F(PlanTest, CatalogueFailureIsPredictedWithTheRunsErrorRecord) {
  fs::remove_all(JoinPath(product_, "modularize"));
  const Plan plan = Planned();
  EXPECT_FALSE(plan.catalogue_loaded);
  EXPECT_FALSE(plan.predicts_success);
  EXPECT_EQ(L"InstallError:11", plan.error_code);
  const std::string folder = JoinPath(product_, "modularize");
  EXPECT_THAT(Texts(plan),
              ElementsAre("the module catalogue does not load (error code "
                          "\"InstallError:11\", detail \"Missing file:" +
                          folder + "\"): the run fails before any phase"));
  for (const PlannedPhase& phase : plan.phases) EXPECT_FALSE(phase.reached);

  // A malformed module file: code 40, and the record says which file.
  fs::create_directories(folder);
  Installed({"core"});
  WriteModule("mod_core.xml", "<root><module>");
  const Plan broken = Planned();
  EXPECT_EQ(L"InstallError:40", broken.error_code);
  ASSERT_EQ(1u, broken.modules.size());
  EXPECT_EQ(ModuleFileRecord::kParseFailed, broken.modules[0].record.outcome);
  EXPECT_EQ(L"admitted: \"core\" has state \"1\"; does not parse: the catalogue fails here",
            ModuleText(broken.modules[0]));
}

// The rollback of a failure at each item, in the order RollbackOrder gives
// over the planned run: items passed over or not started are never undone,
// and a boundary keeps itself and what came before it done.
TEST_F(PlanTest, FailAtTellsTheRollbackOfAFailureThere) {
  const std::string undo = probe_ + " --tag=u";
  WriteModule("mod_core.xml",
              ModuleXml(Exe({{"undo", undo + "1"}}) + Exe({{"type", "exe"}, {"undo", undo}}) +
                            Dll({{"undo_entry", "ReturnZero"}, {"rollback_boundary", "1"}}) +
                            Exe({{"undo", undo + "4"}, {"sensitive", "1"}}),
                        Exe({{"file", "bin/none"}, {"undo", undo}}) + Exe({{"undo", undo + "6"}}),
                        Exe() + Exe({{"signed", "1"}})));
  const struct {
    std::string key;
    std::vector<std::string> undone, kept;
    bool can_fail;
  } rows[] = {{"6", {"6", "4"}, {"3", "1"}, true},
              {"7", {"6", "4"}, {"3", "1"}, true},
              {"8", {"6", "4"}, {"3", "1"}, true},
              {"", {"6", "4"}, {"3", "1"}, true},
              {"3", {"3"}, {"1"}, true},
              {"1", {"1"}, {}, true},
              {"2", {}, {}, false},
              {"5", {}, {}, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.key);
    PlanOptions options;
    options.fail_at = row.key;
    const Plan plan = Planned(options);
    EXPECT_TRUE(plan.rollback.shown && plan.rollback.found);
    EXPECT_EQ(row.key.empty() ? "8" : row.key, plan.rollback.fail_at);
    EXPECT_EQ(row.undone, plan.rollback.undone);
    EXPECT_EQ(row.kept, plan.rollback.kept);
    EXPECT_EQ(row.can_fail, plan.rollback.can_fail);
  }
  PlanOptions options;
  options.fail_at = "4";
  const std::string text = PlanText(Planned(options));
  EXPECT_NE(std::string::npos,
            text.find("\nrollback if item 4 fails (--fail-at=4)\n  1. key 4: program " +
                      JoinPath(product_, probe_) +
                      ", param: *** (its own: the item was started)\n  kept done by a "
                      "rollback_boundary: key(s) 3, 1\n"))
      << text;
  EXPECT_NE(std::string::npos, text.find("    undo: entry \"ReturnZero\" of "));
  EXPECT_NE(std::string::npos,
            text.find("    rollback_boundary: a rollback stops at this item: it and the items "
                      "before it stay done\n"));
  options.fail_at = "99";
  EXPECT_FALSE(Planned(options).rollback.found);
}

TEST_F(PlanTest, UnsignedSecurityBaseIsRefused) {
  AddFile(WideToAnsi(platform::kSecurityBaseLibrary), TAVERLY_PROBE_LIBRARY);
  const Plan plan = PlanWith(Exe());
  EXPECT_TRUE(plan.security_base.present);
  EXPECT_EQ(signing::kNotSigned, plan.security_base.verdict);
  EXPECT_FALSE(plan.security_base.accepted);
  EXPECT_THAT(Texts(plan),
              ElementsAre(WideToAnsi(plan.security_base.path) +
                          " has signature verdict 0 (not signed): the run refuses "
                          "it and goes on without it"));
}

}  // namespace
