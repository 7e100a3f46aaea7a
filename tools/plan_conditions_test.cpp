// The plan's conditions: judged as the run judges them, what decided shown
// in the item's lines, and if_program started only with --conditions.
#include "tools/plan_conditions.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tools/plan_fixture_test.h"
#include "tools/plan_parts.h"
#include "tools/plan_report.h"

namespace {

namespace fs = std::filesystem;
using plan_test::PlanTest;

// The system's own answers, but for the paths and the restart signal a test
// sets.
class GivenSystem : public ConditionSystem {
 public:
  platform::Answer PathIsThere(const std::wstring& path, uint32_t* error) override {
    auto given = paths.find(path);
    if (given == paths.end()) return SystemConditions().PathIsThere(path, error);
    *error = given->second.second;
    return given->second.first;
  }
  platform::Answer RestartPending(std::wstring* signal, uint32_t* error) override {
    *signal = restart_signal;
    *error = restart_error;
    return restart;
  }
  platform::Answer RegistryHolds(const std::wstring& text, uint32_t* error) override {
    return SystemConditions().RegistryHolds(text, error);
  }
  platform::ProgramResult RunProgram(const platform::ProgramRequest& request) override {
    ++programs_started;
    return SystemConditions().RunProgram(request);
  }

  std::map<std::wstring, std::pair<platform::Answer, uint32_t>> paths;
  platform::Answer restart = platform::Answer::kNo;
  std::wstring restart_signal;
  uint32_t restart_error = 0;
  int programs_started = 0;
};

class PlanConditionsTest : public PlanTest {
 protected:
  PlanConditionsTest() { WriteTextFile(JoinPath(product_, "done.txt"), "done"); }

  // The first item of a plan whose first phase is items.
  PlannedItem First(const std::string& items, bool start = false) {
    PlanOptions options;
    options.start_conditions = start;
    options.condition_system = &system_;
    last_ = PlanWith(items, options);
    return last_.phases[0].items[0];
  }
  std::string Program(const std::string& options) const { return probe_ + " " + options; }

  // A first item, whether --conditions is given, and the item's outcome and
  // conditions lines.
  struct Decision {
    std::string items;
    bool start;
    std::wstring outcome;
    std::wstring conditions;
  };
  void ExpectDecisions(const std::vector<Decision>& cases) {
    for (const Decision& c : cases) {
      SCOPED_TRACE(c.items);
      const PlannedItem item = First(c.items, c.start);
      EXPECT_EQ(c.outcome, OutcomeText(item));
      EXPECT_EQ(c.conditions, ConditionsText(item));
      EXPECT_EQ(item.outcome == ItemOutcome::kFails, !last_.predicts_success);
    }
  }

  GivenSystem system_;
  Plan last_;
};

// Each path condition against the product as it stands.
TEST_F(PlanConditionsTest, PathConditionsDecideAsTheRunWould) {
  ExpectDecisions({
      {Exe({{"creates", "done.txt"}}),
       false,
       L"skipped: passed over: creates \"done.txt\" is there",
       L"creates \"done.txt\"; passed over: creates \"done.txt\" is there"},
      {Exe({{"creates", "later.txt"}}), false, L"runs", L"creates \"later.txt\"; all hold"},
      {Exe({{"if_exists", "setup.ini"}}),
       false,
       L"skipped: passed over: if_exists \"setup.ini\" is not there",
       L"if_exists \"setup.ini\"; passed over: if_exists \"setup.ini\" is not there"},
      {Dll({{"unless_exists", "%productpath%/done.txt"}}),
       false,
       L"skipped: passed over: unless_exists \"%productpath%/done.txt\" is there",
       L"unless_exists \"%productpath%/done.txt\"; passed over: unless_exists "
       L"\"%productpath%/done.txt\" is there"},
  });
}

// if_program as the run judges its exit code, and what the plan says without
// starting it.
TEST_F(PlanConditionsTest, ProgramDecidesByItsExitCode) {
  const std::wstring program = L"if_program \"" + Wide(probe_) + L" --exit=3\"";
  const std::wstring missing =
      L"if_program \"bin/none\" failed: not started (the program does not exist)";
  const std::wstring decides =
      program + L" decides when the run starts it (taverly-plan --conditions starts it)";
  ExpectDecisions({
      {Exe({{"if_exists", "done.txt"}, {"if_program", Program("--exit=3")}}),
       false,
       L"runs",
       L"if_exists \"done.txt\", " + program + L" (up to 60 s); the others hold; " + decides},
      {Exe({{"if_program", Program("--exit=3")}}),
       false,
       L"runs",
       program + L" (up to 60 s); " + decides},
      {Exe({{"if_program", Program("--exit=3")}, {"if_program_timeout", "5"}}),
       true,
       L"skipped: passed over: " + program + L" gave exit code 3",
       program + L" (up to 5 s); passed over: " + program + L" gave exit code 3"},
      {Exe({{"if_program", Program("--exit=0")}}),
       true,
       L"runs",
       L"if_program \"" + Wide(probe_) +
           L" --exit=0\" (up to 60 s); all hold (if_program gave exit code 0)"},
      {Exe({{"if_program", Program("--exit=255")}}),
       true,
       L"fails with error code 50: if_program \"" + Wide(probe_) +
           L" --exit=255\" failed: exit code 255",
       L"if_program \"" + Wide(probe_) + L" --exit=255\" (up to 60 s); if_program \"" +
           Wide(probe_) + L" --exit=255\" failed: exit code 255"},
      {Exe({{"if_program", "bin/none"}}),
       true,
       L"fails with error code 50: " + missing,
       L"if_program \"bin/none\" (up to 60 s); " + missing},
      {Exe({{"if_program", "bin/none"}}),
       false,
       L"fails with error code 50: " + missing,
       L"if_program \"bin/none\" (up to 60 s); " + missing},
  });
}

// if_program is started only with --conditions, and only when every
// condition before it lets the item run.
TEST_F(PlanConditionsTest, ProgramStartsOnlyWhenAskedAndWhenItDecides) {
  const std::string marker = JoinPath(product_, "started");
  const std::string touch = Program("--touch=%productpath%/started");
  const struct {
    std::string items;
    bool start;
    int started;
  } cases[] = {
      {Exe({{"if_program", touch}}), false, 0},
      {Exe({{"if_program", touch}}), true, 1},
      {Exe({{"creates", "done.txt"}, {"if_program", touch}}), true, 0},
      {Exe({{"system", platform::IsSystemAccount() ? "0" : "1"}, {"if_program", touch}}), true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.items);
    fs::remove(marker);
    system_.programs_started = 0;
    First(c.items, c.start);
    EXPECT_EQ(c.started, system_.programs_started);
    EXPECT_EQ(c.started == 1, fs::exists(marker));
  }
  // The gate passes the item over first: its conditions are named, not judged.
  EXPECT_EQ(L"if_program \"" + Wide(touch) +
                L"\" (up to 60 s); not judged: the run passes over the item before it judges them",
            ConditionsText(last_.phases[0].items[0]));
}

// What the plan cannot ask the product folder: a pending restart and a path
// the system will not examine.
TEST_F(PlanConditionsTest, SystemAnswersDecideAndFailures) {
  system_.restart = platform::Answer::kYes;
  system_.restart_signal = L"/run/reboot-required";
  PlannedItem item = First(Exe({{"unless_restart_pending", "1"}}));
  EXPECT_EQ(
      L"skipped: passed over: unless_restart_pending \"1\" and a restart is pending "
      L"(/run/reboot-required)",
      OutcomeText(item));
  system_.restart = platform::Answer::kNo;
  EXPECT_EQ(L"unless_restart_pending \"1\"; all hold",
            ConditionsText(First(Exe({{"unless_restart_pending", "1"}}))));
  EXPECT_EQ(L"runs", OutcomeText(First(Exe({{"unless_restart_pending", "0"}}))));

  // A condition that cannot be judged fails the item with error code 50 and
  // the run where it stands, even a signed item that could not run anyway.
  system_.paths[Wide(product_) + platform::kPathSeparator + L"locked/marker"] = {
      platform::Answer::kUnknown, 13};
  item = First(Exe({{"creates", "locked/marker"}, {"signed", "1"}}) + Exe());
  const std::wstring why = L"condition cannot be evaluated: creates \"locked/marker\" (" +
                           Wide(platform::ErrorText(13)) + L")";
  EXPECT_EQ(ItemOutcome::kFails, item.outcome);
  EXPECT_EQ(50u, item.fail_code);
  EXPECT_EQ(L"fails with error code 50: " + why, OutcomeText(item));
  EXPECT_EQ(L"the run fails: item " + Wide(item.key) + L" fails with error code 50 (" + why +
                L"); Taverly ends with exit code 210",
            last_.prediction);
  EXPECT_FALSE(last_.phases[0].items[1].reached);
  EXPECT_FALSE(last_.phases[1].reached);
  EXPECT_EQ(L"creates \"locked/marker\"; not judged: the run does not reach the item",
            ConditionsText(PlanWith(Exe({{"signed", "1"}}) + Exe({{"creates", "locked/marker"}}))
                               .phases[0]
                               .items[1]));

  // A signed item a condition passes over is never opened, so it cannot fail.
  item = First(Exe({{"creates", "done.txt"}, {"signed", "1"}}));
  EXPECT_EQ(ItemOutcome::kSkipped, item.outcome);
  EXPECT_TRUE(last_.predicts_success);
}

// The lines and members of the new attributes; an item without them shows
// neither (the report's own tests hold its text as it was).
TEST_F(PlanConditionsTest, TextAndJsonShowTheConditionsAndTheInstallerWait) {
  PlannedItem item = First(Exe({{"creates", "done.txt"}, {"wait_for_installer", "30"}}));
  item.installer_busy = true;
  last_.phases[0].items[0] = item;
  const std::string text = PlanText(last_);
  const std::string wait = "up to 30 s before each start while the installer is busy (" +
                           WideToAnsi(platform::kInstallerBusySignal) +
                           " is held), then the start counts as exit code 1618; busy now";
  EXPECT_NE(std::string::npos,
            text.find("    system: (none)\n"
                      "    conditions: creates \"done.txt\"; passed over: creates \"done.txt\" is "
                      "there\n"
                      "    wait_for_installer: " +
                      wait + "\n    expects: "));

  rapidjson::Document json;
  json.Parse(PlanJson(last_).c_str());
  ASSERT_FALSE(json.HasParseError());
  const auto& first = json["phases"][0]["items"][0];
  EXPECT_STREQ("skipped", first["prediction"].GetString());
  EXPECT_STREQ("creates", first["skipped_by"].GetString());
  const auto& conditions = first["conditions"];
  EXPECT_STREQ("passed-over", conditions["verdict"].GetString());
  EXPECT_STREQ("creates", conditions["decided_by"].GetString());
  ASSERT_EQ(1u, conditions["attributes"].Size());
  EXPECT_STREQ("done.txt", conditions["attributes"][0]["text"].GetString());
  EXPECT_TRUE(conditions["if_program_timeout_seconds"].IsNull());
  EXPECT_NE(std::string::npos, text.find(conditions["text"].GetString()));
  EXPECT_EQ(30, first["installer_wait_seconds"].GetInt());
  EXPECT_TRUE(first["installer_busy"].GetBool());
  EXPECT_EQ(wait, first["installer_wait_text"].GetString());
  const auto& second = json["phases"][1]["items"][0];
  EXPECT_FALSE(second.HasMember("conditions"));
  EXPECT_FALSE(second.HasMember("skipped_by"));
  EXPECT_FALSE(second.HasMember("wait_for_installer"));
  EXPECT_EQ(L"\"soon\" is not used",
            InstallerWaitText(First(Exe({{"wait_for_installer", "soon"}}))));
}

}  // namespace
