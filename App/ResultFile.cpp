#include "App/ResultFile.h"

#include "CallPlugins/InstallErrorRecord.h"
#include "CallPlugins/Rollback.h"

namespace {

ResultValue Outcome(bool success) {
  return {L"result", L"is_success", success ? L"true" : L"false"};
}

ResultValue RestartNeed(bool restart_required) {
  if (restart_required) return {L"result", L"reboot_required", L"true"};
  return {L"result", L"reboot_required", L"", true};
}

// Only a run that stopped for a restart says the next one resumes.
ResultValue NotStoppedForRestart() { return {L"result", L"resume_after_reboot", L"", true}; }

// Only a run that attempted an undo says how its rollback went.
ResultValue RollbackOutcome(const RollbackCounts& rollback) {
  if (!rollback.Attempted()) return {L"result", L"rollback", L"", true, true};
  return {L"result", L"rollback", rollback.Complete() ? L"complete" : L"incomplete"};
}

void AddErrorInfo(const InstallErrorRecord& errors, std::vector<ResultValue>* form) {
  form->push_back({L"error_info", L"error_path", errors.errorPath});
  form->push_back({L"error_info", L"error_code", errors.errorCode});
  form->push_back({L"error_info", L"error_detail", errors.errorDetail});
}

}  // namespace

// is_success=true last: a reader who finds it finds the restart need with it,
// also in a file a run ended between two writes left.
std::vector<ResultValue> SuccessForm(bool restart_required, const RollbackCounts& rollback) {
  return {RestartNeed(restart_required),
          NotStoppedForRestart(),
          RollbackOutcome(rollback),
          Outcome(true)};
}

std::vector<ResultValue> FailureForm(const InstallErrorRecord& errors, bool restart_required,
                                     const RollbackCounts& rollback) {
  std::vector<ResultValue> form = {Outcome(false),
                                   RestartNeed(restart_required),
                                   NotStoppedForRestart(),
                                   RollbackOutcome(rollback)};
  AddErrorInfo(errors, &form);
  return form;
}

std::vector<ResultValue> StoppedForRestartForm() {
  std::vector<ResultValue> form = {Outcome(false),
                                   {L"result", L"reboot_required", L"true"},
                                   {L"result", L"resume_after_reboot", L"true"},
                                   RollbackOutcome(RollbackCounts())};
  AddErrorInfo(InstallErrorRecord(), &form);
  return form;
}

std::wstring FlatResultValue(const std::wstring& value) {
  std::wstring flat = value;
  for (wchar_t& c : flat) {
    if (c == L'\r' || c == L'\n') c = L' ';
  }
  return flat;
}
