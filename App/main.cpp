#include "App/main.h"

#include <glog/logging.h>

#include "App/Elevate.h"
#include "App/RunReportFile.h"
#include "App/app.h"
#include "CallPlugins/DoFinishWork.h"
#include "CallPlugins/InstallErrorRecord.h"
#include "CallPlugins/RestartResume.h"
#include "CallPlugins/RunReport.h"
#include "Platform/platform.h"
#include "Platform/process.h"
#include "Utils/LogText.h"

namespace {

constexpr int kExitPluginsFailed = 210;
constexpr int kExitStoppedForRestart = 211;

}  // namespace

// A result file that this run could not update must not go on telling an
// earlier run's outcome, or one another account planted: an installer reading
// it would take the opposite for the truth. This is the only place where the
// program removes the file.
void RemoveOutdatedResultFile(const std::wstring& path) {
  uint32_t error = 0;
  switch (platform::RemoveProfileFile(path, &error)) {
    case platform::RemoveOutcome::kRemoved:
      LOG(ERROR) << "result file removed, it could not be updated, path: " << LogText(path);
      break;
    case platform::RemoveOutcome::kFailed:
      LOG(ERROR) << "result file could not be removed, path: " << LogText(path)
                 << ", GLE: " << error;
      break;
    case platform::RemoveOutcome::kNothing:
      break;
  }
}

namespace {

// The result file says whether an item asked for a restart, and never
// keeps the word of an earlier run that did.
void WriteRestartNeed(const RunContext& run, const std::wstring& path) {
  if (run.record.restart_required) {
    WriteResultValue(path, L"result", L"reboot_required", L"true");
    return;
  }
  uint32_t error = 0;
  if (!platform::DeleteProfileKey(L"result", L"reboot_required", path, &error)) {
    LOG(ERROR) << "WritePrivateProfileStringW failed, path: " << LogText(path)
               << ", result: , GLE: " << error;
  }
}

// Only a run that stopped for a restart says the next one resumes.
void RemoveStopForRestartMark(const std::wstring& path) {
  uint32_t error = 0;
  if (!platform::DeleteProfileKey(L"result", L"resume_after_reboot", path, &error)) {
    LOG(ERROR) << "WritePrivateProfileStringW failed, path: " << LogText(path)
               << ", result: , GLE: " << error;
  }
}

// The failure form, from an empty error record, that asks for a restart and
// for the next run to go on where this one stopped.
void WriteStoppedForRestartResult(const RunContext& run) {
  const std::wstring& path = run.result_file;
  const InstallErrorRecord empty;
  const bool outcome_written = WriteResultValue(path, L"result", L"is_success", L"false");
  WriteResultValue(path, L"result", L"reboot_required", L"true");
  WriteResultValue(path, L"result", L"resume_after_reboot", L"true");
  WriteResultValue(path, L"error_info", L"error_path", empty.errorPath);
  WriteResultValue(path, L"error_info", L"error_code", empty.errorCode);
  WriteResultValue(path, L"error_info", L"error_detail", empty.errorDetail);
  if (!outcome_written) RemoveOutdatedResultFile(path);
}

// The last report of the run, after the result file.
void FinishRunReport(RunContext& run, int32_t exit_code) {
  RunRecord& record = run.record;
  record.finished = true;
  record.finished_ms = NowMs();
  record.exit_code = exit_code;
  record.is_success = exit_code == 0;
  WriteRunReport(run, true);
}

}  // namespace

int RunTaverly() {
  platform::KeepStandardStreamsTaken();
  platform::PrepareProgramWaits();
  platform::UseSystemLibrarySearch();
  uint32_t guard_error = 0;
  const platform::InstanceClaim claim = platform::ClaimSingleInstance(&guard_error);
  if (claim == platform::InstanceClaim::kAlreadyRunning) return 0;
  App app;
  app.SetInstanceClaim(claim, guard_error);
  RunContext& run = app.run();
  run.record.started_ms = NowMs();

  int32_t exit_code = 0;
  if (!app.Init(exit_code)) return exit_code;

  run.account.name = platform::AccountName();
  run.account.system = IsSystemAccount();
  run.progress.SetWriter([&run] { WriteRunReport(run, false); });
  TakeRestartRecord(run);
  const bool succeeded = DoFinishWork(run);
  run.progress.SetWriter(nullptr);
  if (run.record.stopped_for_restart) {
    WriteStoppedForRestartResult(run);
    FinishRunReport(run, kExitStoppedForRestart);
    return kExitStoppedForRestart;
  }
  if (!succeeded) {
    // Kept byte for byte, as installers and log readers match this text.
    LOG(INFO) << "call plugins failed.";
    WriteFailureResult(run);
    FinishRunReport(run, kExitPluginsFailed);
    return kExitPluginsFailed;
  }
  // At ERROR severity, not INFO, and kept so: log readers look for it there.
  LOG(ERROR) << "call plugins success.";
  WriteSuccessResult(run);
  FinishRunReport(run, exit_code);
  return exit_code;
}

void WriteFailureResult(const RunContext& run) {
  const std::wstring& path = run.result_file;
  const InstallErrorRecord& record = run.errors;
  const bool outcome_written = WriteResultValue(path, L"result", L"is_success", L"false");
  WriteRestartNeed(run, path);
  RemoveStopForRestartMark(path);
  WriteResultValue(path, L"error_info", L"error_path", record.errorPath);
  WriteResultValue(path, L"error_info", L"error_code", record.errorCode);
  WriteResultValue(path, L"error_info", L"error_detail", record.errorDetail);
  if (!outcome_written) RemoveOutdatedResultFile(path);
}

void WriteSuccessResult(const RunContext& run) {
  const std::wstring& path = run.result_file;
  const bool outcome_written = WriteResultValue(path, L"result", L"is_success", L"true");
  WriteRestartNeed(run, path);
  RemoveStopForRestartMark(path);
  if (!outcome_written) RemoveOutdatedResultFile(path);
}

bool WriteResultValue(const std::wstring& path, const std::wstring& section,
                      const std::wstring& key, const std::wstring& value) {
  // A line break in a value (a parameter text may carry one into the error
  // detail) would add lines to the file; it is written as a blank instead.
  std::wstring flat = value;
  for (wchar_t& c : flat) {
    if (c == L'\r' || c == L'\n') c = L' ';
  }
  uint32_t error = 0;
  if (!platform::WriteProfileString(section, key, flat, path, &error)) {
    LOG(ERROR) << "WritePrivateProfileStringW failed, path: " << LogText(path)
               << ", result: " << LogText(flat) << ", GLE: " << error;
    return false;
  }
  return true;
}
