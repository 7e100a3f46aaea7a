#include "CallPlugins/ItemConditions.h"

#include <utility>

#include "Utils/FileUtils.h"

namespace {

// ENOENT and ERROR_FILE_NOT_FOUND alike.
constexpr uint32_t kMissingFileError = 2;

// Sets the verdict for an answer of the system: what lets the item run is
// `runs`; kUnknown cannot be judged. False when this condition decided.
bool Settle(platform::Answer answer, platform::Answer runs, uint32_t error, const char* attribute,
            const std::string& text, ConditionVerdict* verdict) {
  if (answer == runs) return false;
  verdict->attribute = attribute;
  verdict->text = text;
  if (answer == platform::Answer::kUnknown) {
    verdict->outcome = ConditionOutcome::kCannotJudge;
    verdict->error = error;
  } else {
    verdict->outcome = ConditionOutcome::kPassOver;
  }
  return true;
}

// A path condition: the item runs when whether the path is there is `runs`.
bool PathDecides(ConditionSystem& system, const std::wstring& path, platform::Answer runs,
                 const char* attribute, const std::string& text, ConditionVerdict* verdict) {
  if (path.empty()) return false;
  uint32_t error = 0;
  const platform::Answer there = system.PathIsThere(path, &error);
  return Settle(there, runs, error, attribute, text, verdict);
}

void JudgeProgram(const ItemConditions& conditions, ConditionSystem& system, bool start_programs,
                  ConditionVerdict* verdict) {
  verdict->attribute = "if_program";
  verdict->text = conditions.if_program;
  if (!start_programs) {
    verdict->outcome = ConditionOutcome::kProgramNotRun;
    return;
  }
  const platform::ProgramResult result = system.RunProgram(ConditionProgramRequest(conditions));
  verdict->error = result.start_error;
  verdict->timed_out = result.timed_out;
  // A program a signal ended gave no answer: it crashed, or was killed.
  verdict->ended_by = result.timed_out ? 0 : result.signal;
  verdict->has_exit_code =
      result.started && result.has_process && !result.timed_out && result.signal == 0;
  verdict->exit_code = result.exit_code;
  if (!verdict->has_exit_code || result.exit_code > kLastPassOverCode) {
    verdict->outcome = ConditionOutcome::kProgramFailed;
  } else {
    verdict->outcome = result.exit_code == 0 ? ConditionOutcome::kRun : ConditionOutcome::kPassOver;
  }
}

}  // namespace

SystemAnswers::SystemAnswers(std::function<void()> while_waiting)
    : while_waiting_(std::move(while_waiting)) {}

platform::Answer SystemAnswers::PathIsThere(const std::wstring& path, uint32_t* error) {
  return platform::PathIsThere(path, error);
}

platform::Answer SystemAnswers::RestartPending(std::wstring* signal, uint32_t* error) {
  return platform::RestartPending(signal, error);
}

platform::Answer SystemAnswers::RegistryHolds(const std::wstring& text, uint32_t* error) {
  return platform::RegistryHolds(text, error);
}

platform::ProgramResult SystemAnswers::RunProgram(const platform::ProgramRequest& request) {
  platform::ProgramRequest ticking = request;
  ticking.while_waiting = while_waiting_;
  platform::ProgramResult result;
  // A program that is not there is refused before the system is asked:
  // its error is the system's own for a missing file (2 on every system).
  if (!ShellOpenFile(ticking, &result) && result.start_error == 0 &&
      CheckShellOpenFile(request.file.c_str()) == ShellOpenRefusal::kMissing) {
    result.start_error = kMissingFileError;
  }
  return result;
}

ConditionSystem& SystemConditions() {
  static SystemAnswers system;
  return system;
}

platform::ProgramRequest ConditionProgramRequest(const ItemConditions& conditions) {
  platform::ProgramRequest request;
  request.file = conditions.program_path;
  request.parameters = conditions.program_parameters;
  request.wait = true;
  request.timeout_ms = conditions.program_timeout_seconds * 1000u;
  return request;
}

ConditionVerdict JudgeConditions(const ItemConditions& conditions, ConditionSystem& system,
                                 bool start_programs) {
  using platform::Answer;
  ConditionVerdict verdict;
  if (PathDecides(
          system, conditions.creates_path, Answer::kNo, "creates", conditions.creates, &verdict) ||
      PathDecides(system,
                  conditions.if_exists_path,
                  Answer::kYes,
                  "if_exists",
                  conditions.if_exists,
                  &verdict) ||
      PathDecides(system,
                  conditions.unless_exists_path,
                  Answer::kNo,
                  "unless_exists",
                  conditions.unless_exists,
                  &verdict)) {
    return verdict;
  }
  uint32_t error = 0;
  if (conditions.unless_restart) {
    const Answer pending = system.RestartPending(&verdict.signal, &error);
    if (Settle(pending,
               Answer::kNo,
               error,
               "unless_restart_pending",
               conditions.unless_restart_pending,
               &verdict)) {
      return verdict;
    }
  }
  if (!conditions.registry_text.empty()) {
    const Answer holds = system.RegistryHolds(conditions.registry_text, &error);
    if (Settle(holds, Answer::kYes, error, "if_registry", conditions.if_registry, &verdict)) {
      return verdict;
    }
  }
  if (!conditions.program_path.empty()) JudgeProgram(conditions, system, start_programs, &verdict);
  return verdict;
}
