// The plan's conditions: judged as the run judges them, what decided shown
// in the item's lines, and if_program started only with --conditions.
#include "tools/plan_conditions.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <map>
#include <string>

#include "tests/support/platform_facts.h"
#include "tools/plan_fixture_test.h"
#include "tools/plan_report.h"

namespace {

// The system's own answers, but for a pending restart and one path that
// cannot be examined; counts the programs it starts.
class GivenSystem : public ConditionSystem {
 public:
  platform::Answer PathIsThere(const std::wstring& path, uint32_t* error) override {
    *error = path == locked ? 13 : 0;
    return path == locked ? platform::Answer::kUnknown
                          : SystemConditions().PathIsThere(path, error);
  }
  platform::Answer RestartPending(std::wstring* signal, uint32_t*) override {
    *signal = L"/run/reboot-required";
    return restart;
  }
  platform::Answer RegistryHolds(const std::wstring& text, uint32_t* error) override {
    return SystemConditions().RegistryHolds(text, error);
  }
  platform::ProgramResult RunProgram(const platform::ProgramRequest& request) override {
    ++started;
    if (ended_by == 0) return SystemConditions().RunProgram(request);
    platform::ProgramResult result;
    result.started = result.has_process = true;
    result.signal = ended_by;
    result.exit_code = 128 + ended_by;
    return result;
  }
  std::wstring locked;
  uint32_t ended_by = 0;  // a signal that ends every program it starts
  platform::Answer restart = platform::Answer::kYes;
  int started = 0;
};

class PlanConditionsTest : public plan_test::PlanTest {
 protected:
  PlanConditionsTest() {
    WriteTextFile(JoinPath(product_, "done.txt"), "done");
    system_.locked = Wide(product_) + platform::kPathSeparator + L"locked";
  }
  // The first item of a plan whose first phase is items.
  PlannedItem First(const std::string& items, bool start) {
    PlanOptions options;
    options.start_conditions = start;
    options.condition_system = &system_;
    last_ = PlanWith(items, options);
    return last_.phases[0].items[0];
  }
  GivenSystem system_;
  Plan last_;
};

// Each condition as the run judges it: the conditions line, the outcome,
// and whether if_program was started.
TEST_F(PlanConditionsTest, ConditionsDecideAsTheRunWould) {
  const std::wstring exit3 = L"if_program \"" + Wide(probe_) + L" --exit=3\"";
  const std::wstring none =
      L"if_program \"bin/none\" failed: not started (the program does not exist)";
  const std::string program = probe_ + " --exit=3";
  const struct {
    std::map<std::string, std::string> attributes;
    bool start;
    std::wstring conditions;
    ItemOutcome outcome;
    int started;
    uint32_t ended_by;  // a signal that ends every program started
  } cases[] = {
      {{{"creates", "done.txt"}},
       false,
       L"creates \"done.txt\"; passed over: creates \"done.txt\" is there",
       ItemOutcome::kSkipped,
       0,
       0},
      {{{"if_exists", "%productpath%/none"}, {"if_program", program}},
       true,
       L"if_exists \"%productpath%/none\", " + exit3 +
           L" (up to 60 s); passed over: if_exists \"%productpath%/none\" is not there",
       ItemOutcome::kSkipped,
       0,
       0},
      {{{"unless_restart_pending", "1"}},
       false,
       L"unless_restart_pending \"1\"; passed over: unless_restart_pending \"1\" and a restart is "
       L"pending (/run/reboot-required)",
       ItemOutcome::kSkipped,
       0,
       0},
      {{{"creates", "later.txt"}, {"if_program", program}},
       false,
       L"creates \"later.txt\", " + exit3 + L" (up to 60 s); the others hold; " + exit3 +
           L" decides when the run starts it (taverly-plan --conditions starts it)",
       ItemOutcome::kRuns,
       0,
       0},
      {{{"if_program", program}, {"if_program_timeout", "5"}},
       true,
       exit3 + L" (up to 5 s); passed over: " + exit3 + L" gave exit code 3",
       ItemOutcome::kSkipped,
       1,
       0},
      {{{"if_program", probe_ + " --exit=255"}},
       true,
       L"if_program \"" + Wide(probe_) + L" --exit=255\" (up to 60 s); if_program \"" +
           Wide(probe_) + L" --exit=255\" failed: exit code 255",
       ItemOutcome::kFails,
       1,
       0},
      {{{"if_program", "bin/none"}},
       false,
       L"if_program \"bin/none\" (up to 60 s); " + none,
       ItemOutcome::kFails,
       0,
       0},
      {{{"if_program", "bin/plain --x"}},
       false,
       L"if_program \"bin/plain --x\" (up to 60 s); if_program \"bin/plain --x\" failed: not "
       L"started (" +
           Wide(platform::ErrorText(platform_facts::kNotAProgramError)) + L")",
       ItemOutcome::kFails,
       0,
       0},
      // A program a signal ended gave no answer.
      {{{"if_program", probe_}},
       true,
       L"if_program \"" + Wide(probe_) + L"\" (up to 60 s); if_program \"" + Wide(probe_) +
           L"\" failed: ended by signal 9",
       ItemOutcome::kFails,
       1,
       9},
  };
  WriteTextFile(JoinPath(product_, "bin/plain"), "not a program");
  for (const auto& c : cases) {
    SCOPED_TRACE(WideToAnsi(c.conditions));
    system_.started = 0;
    system_.ended_by = c.ended_by;
    const PlannedItem item = First(Exe(c.attributes), c.start);
    EXPECT_EQ(c.conditions, ConditionsText(item));
    EXPECT_EQ(c.outcome, item.outcome);
    EXPECT_EQ(c.started, system_.started);
    EXPECT_EQ(c.outcome != ItemOutcome::kFails, last_.predicts_success);
  }
  rapidjson::Document json;
  json.Parse(PlanJson(last_).c_str());
  EXPECT_EQ(9, json["phases"][0]["items"][0]["conditions"]["ended_by_signal"].GetInt());
}

// A condition that cannot be evaluated fails the run where it stands, before
// a signed item is checked.
TEST_F(PlanConditionsTest, ConditionThatCannotBeEvaluatedFailsTheRun) {
  const PlannedItem item =
      First(Exe({{"creates", "locked"}, {"signed", "1"}}) + Exe({{"creates", "locked"}}), false);
  const std::wstring why =
      L"condition cannot be evaluated: creates \"locked\" (" + Wide(platform::ErrorText(13)) + L")";
  EXPECT_EQ(L"fails with error code 50: " + why, OutcomeText(item));
  EXPECT_EQ(L"the run fails: item " + Wide(item.key) + L" fails with error code 50 (" + why +
                L"); Taverly ends with exit code 210",
            last_.prediction);
  EXPECT_EQ(L"creates \"locked\"; not judged: the run does not reach the item",
            ConditionsText(last_.phases[0].items[1]));
  EXPECT_FALSE(last_.phases[1].reached);
}

// The lines and members of the new attributes, only where they are written.
TEST_F(PlanConditionsTest, TextAndJsonShowConditionsAndInstallerWait) {
  last_.phases[0].items[0] =
      First(Exe({{"creates", "done.txt"}, {"wait_for_installer", "30"}}), false);
  last_.phases[0].items[0].installer_busy = true;
  const std::string wait = "up to 30 s before each start while the installer is busy (" +
                           WideToAnsi(platform::kInstallerBusySignal) +
                           " is held), then the start counts as exit code 1618; busy now";
  EXPECT_NE(std::string::npos,
            PlanText(last_).find("    system: (none)\n    conditions: creates \"done.txt\"; passed "
                                 "over: creates \"done.txt\" is there\n    wait_for_installer: " +
                                 wait + "\n    expects: "));
  rapidjson::Document json;
  json.Parse(PlanJson(last_).c_str());
  const auto& first = json["phases"][0]["items"][0];
  EXPECT_STREQ("creates", first["skipped_by"].GetString());
  EXPECT_STREQ("passed-over", first["conditions"]["verdict"].GetString());
  EXPECT_STREQ("creates", first["conditions"]["decided_by"].GetString());
  EXPECT_TRUE(first["installer_busy"].GetBool());
  const auto& plain = json["phases"][1]["items"][0];
  EXPECT_FALSE(plain.HasMember("conditions") || plain.HasMember("skipped_by") ||
               plain.HasMember("wait_for_installer"));
}

// The run judges the conditions before it opens a signed item's file: an
// item they pass over (with --conditions too) is never checked, and one whose
// if_program the plan does not start fails as checked only if it lets it run.
TEST_F(PlanConditionsTest, ConditionsComeBeforeTheSignatureCheck) {
  const std::wstring refused = L"signed=\"1\" and its signature verdict is 0 (not signed)";
  const std::wstring success = PlanWith(Exe()).prediction;
  const struct {
    std::string condition, text;
    bool start;
    std::wstring outcome, prediction;
    size_t refusals;  // signature-refused warnings
  } cases[] = {
      {"if_program",
       probe_ + " --exit=3",
       false,
       L"runs if its if_program lets it, and then fails with error code 52: " + refused,
       L"the run fails if its if_program lets item 1 run: that item fails with error code 52 (" +
           refused + L"), and Taverly ends with exit code 210; if not, " + success,
       1},
      {"creates",
       "done.txt",
       true,
       L"skipped: passed over: creates \"done.txt\" is there",
       success,
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(WideToAnsi(c.outcome));
    EXPECT_EQ(c.outcome,
              OutcomeText(First(Exe({{c.condition, c.text}, {"signed", "1"}}), c.start)));
    EXPECT_EQ(c.prediction, last_.prediction);
    EXPECT_EQ(c.refusals, plan_test::Count(PlanText(last_), "if its if_program lets it run\n"));
    EXPECT_EQ(c.refusals, plan_test::Count(PlanText(last_), "[signature-refused]"));
  }
}

}  // namespace
