#include "App/main.h"

#include <glog/logging.h>

#include "App/RunReportFile.h"
#include "App/app.h"
#include "CallPlugins/DoFinishWork.h"
#include "CallPlugins/InstallErrorRecord.h"
#include "CallPlugins/RestartResume.h"
#include "CallPlugins/RunReport.h"
#include "CmdParser/CommandParser.h"
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
void WriteRestartNeed(const std::wstring& path) {
  if (GetRunRecord().restart_required) {
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
void WriteStoppedForRestartResult() {
  const std::wstring path = App::Instance().GetResultFilePath();
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
void FinishRunReport(int32_t exit_code) {
  RunRecord& record = GetRunRecord();
  record.finished = true;
  record.finished_ms = NowMs();
  record.exit_code = exit_code;
  record.is_success = exit_code == 0;
  WriteRunReport(true);
}

}  // namespace

int RunTaverly() {
  platform::KeepStandardStreamsTaken();
  platform::PrepareProgramWaits();
  platform::UseSystemLibrarySearch();
  uint32_t guard_error = 0;
  const platform::InstanceClaim claim = platform::ClaimSingleInstance(&guard_error);
  if (claim == platform::InstanceClaim::kAlreadyRunning) return 0;
  App::Instance().SetInstanceClaim(claim, guard_error);
  GetRunRecord().started_ms = NowMs();

  int32_t exit_code = 0;
  if (!App::Instance().Init(exit_code)) return exit_code;

  GetRunRecord().account_name = platform::AccountName();
  GetRunRecord().system_account = platform::IsSystemAccount();
  SetProgressWriter([] { WriteRunReport(false); });
  TakeRestartRecord(
      App::Instance().GetLogDir(), App::Instance().GetResultFilePath(), GetInstallPath());
  const bool succeeded = DoFinishWork();
  SetProgressWriter(nullptr);
  if (GetRunRecord().stopped_for_restart) {
    WriteStoppedForRestartResult();
    FinishRunReport(kExitStoppedForRestart);
    return kExitStoppedForRestart;
  }
  if (!succeeded) {
    // Kept byte for byte, as installers and log readers match this text.
    LOG(INFO) << "call plugins failed.";
    WriteFailureResult();
    FinishRunReport(kExitPluginsFailed);
    return kExitPluginsFailed;
  }
  // At ERROR severity, not INFO, and kept so: log readers look for it there.
  LOG(ERROR) << "call plugins success.";
  WriteSuccessResult();
  FinishRunReport(exit_code);
  return exit_code;
}

void WriteFailureResult() {
  std::wstring path = App::Instance().GetResultFilePath();
  const InstallErrorRecord& record = GetInstallErrorRecord();
  const bool outcome_written = WriteResultValue(path, L"result", L"is_success", L"false");
  WriteRestartNeed(path);
  RemoveStopForRestartMark(path);
  WriteResultValue(path, L"error_info", L"error_path", record.errorPath);
  WriteResultValue(path, L"error_info", L"error_code", record.errorCode);
  WriteResultValue(path, L"error_info", L"error_detail", record.errorDetail);
  if (!outcome_written) RemoveOutdatedResultFile(path);
}

void WriteSuccessResult() {
  const std::wstring path = App::Instance().GetResultFilePath();
  const bool outcome_written = WriteResultValue(path, L"result", L"is_success", L"true");
  WriteRestartNeed(path);
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
