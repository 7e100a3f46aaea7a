#include "CallPlugins/ItemConditions.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "Bundle/LwBundle.h"
#include "Platform/system/system.h"

namespace {

using platform::Answer;

Item Parsed(const std::map<std::string, std::string>& attributes) {
  CLwBundle* bundle = new CLwBundle();
  bundle->AddRef();
  for (const auto& attribute : attributes) {
    bundle->SetString(attribute.first.c_str(), attribute.second.c_str());
  }
  Item item = ParseItem(bundle, L"P");
  bundle->Release();
  return item;
}

std::wstring InProduct(const std::wstring& name) {
  return L"P" + std::wstring(1, platform::kPathSeparator) + name;
}

// Answers as the test sets them, and what was asked, in order.
class FakeSystem : public ConditionSystem {
 public:
  std::set<std::wstring> there, unknown;
  Answer restart = Answer::kNo, registry = Answer::kNo;
  platform::ProgramResult program;
  std::vector<std::wstring> asked;

  Answer PathIsThere(const std::wstring& path, uint32_t* error) override {
    asked.push_back(path);
    *error = unknown.count(path) ? 13 : 0;
    return unknown.count(path) ? Answer::kUnknown : there.count(path) ? Answer::kYes : Answer::kNo;
  }
  Answer RestartPending(std::wstring* signal, uint32_t* error) override {
    asked.push_back(L"restart");
    *signal = L"the signal";
    *error = 5;
    return restart;
  }
  Answer RegistryHolds(const std::wstring& text, uint32_t* error) override {
    asked.push_back(L"registry " + text);
    *error = 2;
    return registry;
  }
  platform::ProgramResult RunProgram(const platform::ProgramRequest& request) override {
    asked.push_back(L"program " + request.file + L" | " + request.parameters + L" | " +
                    std::to_wstring(request.timeout_ms));
    return program;
  }
};

TEST(ItemConditionsTest, AttributesWithNoUseSayWhy) {
  struct Case {
    std::map<std::string, std::string> attributes;
    Unused restart, timeout, installer;
  };
  const Case cases[] = {
      {{{"unless_restart_pending", "yes"}}, Unused::kBadValue, Unused::kNo, Unused::kNo},
      {{{"if_program_timeout", "5"}}, Unused::kNo, Unused::kNotWaited, Unused::kNo},
      {{{"if_program", "c"}, {"if_program_timeout", "0"}},
       Unused::kNo,
       Unused::kBadValue,
       Unused::kNo},
      {{{"wait_for_installer", "30"}}, Unused::kNo, Unused::kNo, Unused::kNotWaited},
      // A text that names no program: neither it nor its time limit is used.
      {{{"if_program", "\"\" --x"}, {"if_program_timeout", "5"}},
       Unused::kNo,
       Unused::kNotWaited,
       Unused::kNo},
      {{{"wait_for_installer", "86401"}, {"wait_for_exit", "1"}},
       Unused::kNo,
       Unused::kNo,
       Unused::kBadValue},
  };
  for (const Case& test : cases) {
    std::map<std::string, std::string> attributes = test.attributes;
    attributes["type"] = "Exe";
    const Item item = Parsed(attributes);
    EXPECT_EQ(test.restart, item.UnusedWhy("unless_restart_pending"));
    EXPECT_EQ(test.timeout, item.UnusedWhy("if_program_timeout"));
    EXPECT_EQ(test.installer, item.UnusedWhy("wait_for_installer"));
    const bool names_none =
        attributes.count("if_program") != 0 && attributes["if_program"][0] == '"';
    EXPECT_EQ(names_none ? Unused::kBadValue : Unused::kNo, item.UnusedWhy("if_program"));
  }
  const Item waits =
      Parsed({{"type", "Exe"}, {"wait_for_exit", "1"}, {"wait_for_installer", "30"}});
  EXPECT_EQ(30u, waits.installer_wait_seconds);
  EXPECT_EQ(
      Unused::kNotExe,
      Parsed({{"type", "SimpleDll"}, {"wait_for_installer", "3"}}).UnusedWhy("wait_for_installer"));
  const Item registry = Parsed({{"type", "Exe"}, {"if_registry", "HKLM\\Software\\X"}});
  EXPECT_EQ(platform::HasRegistry() ? Unused::kNo : Unused::kNoRegistry,
            registry.UnusedWhy("if_registry"));
}

TEST(ItemConditionsTest, TheFirstConditionThatDoesNotHoldDecides) {
  const Item item = Parsed({{"type", "Exe"},
                            {"creates", "made"},
                            {"if_exists", "needed"},
                            {"unless_exists", "blocker"},
                            {"unless_restart_pending", "1"},
                            {"if_program", "check --now"}});
  struct Case {
    std::set<std::wstring> there, unknown;
    Answer restart;
    ConditionOutcome outcome;
    std::string attribute;
    size_t asked;  // how many questions the system was asked
  };
  const std::wstring made = InProduct(L"made"), needed = InProduct(L"needed"),
                     blocker = InProduct(L"blocker");
  const Case cases[] = {
      {{made, needed}, {}, Answer::kNo, ConditionOutcome::kPassOver, "creates", 1},
      {{}, {}, Answer::kNo, ConditionOutcome::kPassOver, "if_exists", 2},
      {{needed, blocker}, {}, Answer::kNo, ConditionOutcome::kPassOver, "unless_exists", 3},
      {{needed}, {}, Answer::kYes, ConditionOutcome::kPassOver, "unless_restart_pending", 4},
      {{needed}, {}, Answer::kUnknown, ConditionOutcome::kCannotJudge, "unless_restart_pending", 4},
      {{}, {made}, Answer::kNo, ConditionOutcome::kCannotJudge, "creates", 1},
      {{needed}, {}, Answer::kNo, ConditionOutcome::kRun, "if_program", 5},
  };
  for (const Case& test : cases) {
    FakeSystem system;
    system.there = test.there;
    system.unknown = test.unknown;
    system.restart = test.restart;
    system.program.started = system.program.has_process = true;
    const ConditionVerdict verdict = JudgeConditions(item.conditions, system, true);
    EXPECT_EQ(test.outcome, verdict.outcome) << test.attribute;
    EXPECT_EQ(test.attribute, verdict.attribute);
    EXPECT_EQ(test.asked, system.asked.size()) << test.attribute;
  }
  FakeSystem system;
  system.there = {needed};
  JudgeConditions(item.conditions, system, true);
  EXPECT_EQ(L"program " + InProduct(L"check") + L" | --now | 60000", system.asked.back());
}

TEST(ItemConditionsTest, TheProgramsExitCodeRunsPassesOverOrFails) {
  const Item item = Parsed({{"type", "SimpleDll"}, {"if_program", "check"}});
  struct Case {
    bool started, has_process, timed_out;
    uint32_t exit_code, signal;
    ConditionOutcome outcome;
  };
  const Case cases[] = {
      {true, true, false, 0, 0, ConditionOutcome::kRun},
      {true, true, false, 1, 0, ConditionOutcome::kPassOver},
      {true, true, false, 254, 0, ConditionOutcome::kPassOver},
      {true, true, false, 255, 0, ConditionOutcome::kProgramFailed},
      {true, true, false, 0xFFFFFFFFu, 0, ConditionOutcome::kProgramFailed},
      {true, true, false, 128 + 9, 9, ConditionOutcome::kProgramFailed},  // killed: no answer
      {true, true, true, 0, 0, ConditionOutcome::kProgramFailed},
      {false, false, false, 0, 0, ConditionOutcome::kProgramFailed},
      {true, false, false, 0, 0, ConditionOutcome::kProgramFailed},  // a document: no exit code
  };
  for (const Case& test : cases) {
    FakeSystem system;
    system.program.started = test.started;
    system.program.has_process = test.has_process;
    system.program.timed_out = test.timed_out;
    system.program.exit_code = test.exit_code;
    system.program.signal = test.signal;
    const ConditionVerdict verdict = JudgeConditions(item.conditions, system, true);
    EXPECT_EQ(test.outcome, verdict.outcome) << test.exit_code;
    EXPECT_EQ(test.signal, verdict.ended_by);
    EXPECT_EQ(!test.timed_out && test.started && test.has_process && test.signal == 0,
              verdict.has_exit_code);
  }
  FakeSystem plan;
  EXPECT_EQ(ConditionOutcome::kProgramNotRun,
            JudgeConditions(item.conditions, plan, false).outcome);
  EXPECT_TRUE(plan.asked.empty());
}

}  // namespace
