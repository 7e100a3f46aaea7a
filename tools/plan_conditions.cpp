#include "tools/plan_conditions.h"

#include <functional>

#include "CallPlugins/ItemSteps.h"
#include "Platform/files/files.h"
#include "Platform/process/process.h"
#include "Platform/system/system.h"
#include "Platform/system/system_state.h"
#include "Utils/PathUtils.h"
#include "tools/plan_parts.h"
#include "tools/plan_unused.h"

namespace {

struct UsedCondition {
  const char* name;
  const std::string* text;
};

// The conditions the run judges, in the order it judges them.
std::vector<UsedCondition> UsedConditions(const ItemConditions& conditions) {
  std::vector<UsedCondition> used;
  if (!conditions.creates_path.empty()) used.push_back({"creates", &conditions.creates});
  if (!conditions.if_exists_path.empty()) used.push_back({"if_exists", &conditions.if_exists});
  if (!conditions.unless_exists_path.empty()) {
    used.push_back({"unless_exists", &conditions.unless_exists});
  }
  if (conditions.unless_restart) {
    used.push_back({"unless_restart_pending", &conditions.unless_restart_pending});
  }
  if (!conditions.registry_text.empty()) {
    used.push_back({"if_registry", &conditions.if_registry});
  }
  if (!conditions.program_path.empty()) used.push_back({"if_program", &conditions.if_program});
  return used;
}

std::wstring Named(const char* attribute, const std::string& text) {
  return AnsiToWide(attribute) + L" " + Quoted(text);
}

bool Decides(ConditionOutcome outcome) {
  return outcome == ConditionOutcome::kPassOver || outcome == ConditionOutcome::kCannotJudge ||
         outcome == ConditionOutcome::kProgramFailed;
}

std::wstring PassOverText(const ConditionVerdict& verdict) {
  const std::string attribute = verdict.attribute;
  const std::wstring named = L"passed over: " + Named(verdict.attribute, verdict.text);
  if (attribute == "if_exists") return named + L" is not there";
  if (attribute == "unless_restart_pending") {
    return named + L" and a restart is pending (" + verdict.signal + L")";
  }
  if (attribute == "if_registry") return named + L" does not hold";
  if (attribute == "if_program") {
    return named + L" gave exit code " + std::to_wstring(verdict.exit_code);
  }
  return named + L" is there";  // creates, unless_exists
}

// Why a condition fails the item (error code 50).
std::wstring FailureText(const PlannedItem& item) {
  const ConditionVerdict& verdict = item.conditions_verdict;
  const std::wstring named = Named(verdict.attribute, verdict.text);
  const std::wstring error = L" (" + AnsiToWide(platform::ErrorText(verdict.error)) + L")";
  if (verdict.outcome == ConditionOutcome::kCannotJudge) {
    return L"condition cannot be evaluated: " + named + error;
  }
  if (verdict.timed_out) {
    return named + L" failed: it ran past its " +
           std::to_wstring(item.conditions.program_timeout_seconds) + L" s";
  }
  if (verdict.ended_by != 0) {
    return named + L" failed: ended by signal " + std::to_wstring(verdict.ended_by);
  }
  if (verdict.has_exit_code) {
    return named + L" failed: exit code " + std::to_wstring(verdict.exit_code);
  }
  // A program that is not there is not tried at all: the start has no error.
  if (!platform::PathExists(item.conditions.program_path)) {
    return named + L" failed: not started (the program does not exist)";
  }
  return named + L" failed: not started" + (verdict.error != 0 ? error : std::wstring());
}

std::wstring VerdictText(const PlannedItem& item, size_t used) {
  const ConditionVerdict& verdict = item.conditions_verdict;
  if (!item.conditions_judged) {
    const bool passed_before = item.kind == ItemKind::kSkipped || item.gate != SystemGate::kRun ||
                               item.done_before_restart;
    return passed_before ? L"not judged: the run passes over the item before it judges them"
                         : L"not judged: the run does not reach the item";
  }
  switch (verdict.outcome) {
    case ConditionOutcome::kRun:
      return verdict.has_exit_code ? L"all hold (if_program gave exit code 0)" : L"all hold";
    case ConditionOutcome::kPassOver:
      return PassOverText(verdict);
    case ConditionOutcome::kCannotJudge:
    case ConditionOutcome::kProgramFailed:
      return FailureText(item);
    case ConditionOutcome::kProgramNotRun:
      break;
  }
  return (used > 1 ? L"the others hold; " : L"") + Named("if_program", verdict.text) +
         L" decides when the run starts it (taverly-plan --conditions starts it)";
}

const char* VerdictName(const PlannedItem& item) {
  if (!item.conditions_judged) return "not-judged";
  switch (item.conditions_verdict.outcome) {
    case ConditionOutcome::kRun:
      return "run";
    case ConditionOutcome::kPassOver:
      return "passed-over";
    case ConditionOutcome::kCannotJudge:
      return "cannot-be-evaluated";
    case ConditionOutcome::kProgramFailed:
      return "program-failed";
    case ConditionOutcome::kProgramNotRun:
      break;
  }
  return "program-not-run";
}

std::string Json(const std::wstring& wide) { return platform::WideToUtf8(wide); }
std::string Json(const std::string& narrow) { return AnsiToUtf8(narrow.c_str()); }

}  // namespace

void PlanConditions(const PlanOptions& options, PlannedItem* item) {
  if (item->kind == ItemKind::kSkipped || item->gate != SystemGate::kRun ||
      item->done_before_restart || !item->conditions.Any()) {
    return;
  }
  ConditionSystem& system =
      options.condition_system != nullptr ? *options.condition_system : SystemConditions();
  item->conditions_verdict = JudgeConditions(item->conditions, system, options.start_conditions);
  item->conditions_judged = true;
  // The run cannot start a program that is not there, or one this account
  // may not start: it fails the item.
  ConditionVerdict& verdict = item->conditions_verdict;
  if (verdict.outcome == ConditionOutcome::kProgramNotRun &&
      (!platform::PathExists(item->conditions.program_path) ||
       !platform::CanStartProgram(item->conditions.program_path, &verdict.error))) {
    verdict.outcome = ConditionOutcome::kProgramFailed;
  }
  switch (item->conditions_verdict.outcome) {
    case ConditionOutcome::kPassOver:
      item->outcome = ItemOutcome::kSkipped;
      item->why = PassOverText(item->conditions_verdict);
      break;
    case ConditionOutcome::kCannotJudge:
    case ConditionOutcome::kProgramFailed:
      item->outcome = ItemOutcome::kFails;
      item->fail_code = kInstallErrorExitCode;
      item->why = FailureText(*item);
      break;
    case ConditionOutcome::kRun:
    case ConditionOutcome::kProgramNotRun:
      break;
  }
}

bool ConditionDecides(const PlannedItem& item) {
  return item.conditions_judged && Decides(item.conditions_verdict.outcome);
}

std::wstring ConditionsText(const PlannedItem& item) {
  const std::vector<UsedCondition> used = UsedConditions(item.conditions);
  if (used.empty()) return std::wstring();
  std::wstring list;
  for (const UsedCondition& condition : used) {
    list += (list.empty() ? L"" : L", ") + Named(condition.name, *condition.text);
  }
  if (!item.conditions.program_path.empty()) {
    list += L" (up to " + std::to_wstring(item.conditions.program_timeout_seconds) + L" s)";
  }
  return list + L"; " + VerdictText(item, used.size());
}

std::wstring InstallerWaitText(const PlannedItem& item) {
  if (item.wait_for_installer.empty()) return std::wstring();
  if (item.installer_wait_seconds == 0) return Quoted(item.wait_for_installer) + L" is not used";
  return L"up to " + std::to_wstring(item.installer_wait_seconds) +
         L" s before each start while the installer is busy (" + platform::kInstallerBusySignal +
         L" is held), then the start counts as exit code " +
         std::to_wstring(kInstallerBusyExitCode) +
         (item.installer_busy ? L"; busy now" : L"; not busy now");
}

std::vector<PlanWarning> ConditionWarnings(const std::wstring& where, const PlannedItem& item) {
  return UnusedWarnings(where, item, UnusedStage::kConditions);
}

void WriteConditionsText(const PlannedItem& item, std::ostream& out) {
  const std::wstring conditions = ConditionsText(item);
  if (!conditions.empty()) out << "    conditions: " << WideToAnsi(conditions) << "\n";
  const std::wstring wait = InstallerWaitText(item);
  if (!wait.empty()) out << "    wait_for_installer: " << WideToAnsi(wait) << "\n";
}

void WriteConditionsJson(const PlannedItem& item, json::Writer& json) {
  const std::vector<UsedCondition> used = UsedConditions(item.conditions);
  const ConditionVerdict& verdict = item.conditions_verdict;
  if (!used.empty()) {
    json.Key("conditions");
    json.StartObject();
    json.Key("attributes");
    json.StartArray();
    for (const UsedCondition& condition : used) {
      json.StartObject();
      json::Member(json, "name", std::string(condition.name));
      json::Member(json, "text", Json(*condition.text));
      json.EndObject();
    }
    json.EndArray();
    json::MemberOrNull(json,
                       "if_program_timeout_seconds",
                       !item.conditions.program_path.empty(),
                       item.conditions.program_timeout_seconds);
    json::Member(json, "verdict", std::string(VerdictName(item)));
    json::Member(json, "decided_by", std::string(ConditionDecides(item) ? verdict.attribute : ""));
    json::MemberOrNull(json, "exit_code", verdict.has_exit_code, verdict.exit_code);
    json::MemberOrNull(json, "error", verdict.error != 0, verdict.error);
    json::Member(json, "signal", Json(verdict.signal));
    if (verdict.ended_by != 0) {
      json::Member(json, "ended_by_signal", static_cast<int>(verdict.ended_by));
    }
    json::Member(json, "text", Json(ConditionsText(item)));
    json.EndObject();
  }
  if (item.conditions_judged && verdict.outcome == ConditionOutcome::kPassOver) {
    json::Member(json, "skipped_by", std::string(verdict.attribute));
  }
  if (item.wait_for_installer.empty()) return;
  json::Member(json, "wait_for_installer", Json(item.wait_for_installer));
  json::MemberOrNull(
      json, "installer_wait_seconds", item.installer_wait_seconds > 0, item.installer_wait_seconds);
  json::Member(json, "installer_busy", item.installer_busy);
  json::Member(json, "installer_signal", Json(std::wstring(platform::kInstallerBusySignal)));
  json::Member(json, "installer_wait_text", Json(InstallerWaitText(item)));
}
