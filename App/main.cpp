#include "App/main.h"

#include <glog/logging.h>

#include "App/Elevate.h"
#include "App/ResultFile.h"
#include "App/RunEvents.h"
#include "App/RunReportFile.h"
#include "App/app.h"
#include "CallPlugins/DoFinishWork.h"
#include "CallPlugins/InstallErrorRecord.h"
#include "CallPlugins/RestartResume.h"
#include "CallPlugins/RunReport.h"
#include "Platform/files/files.h"
#include "Platform/process/process.h"
#include "Platform/system/system.h"
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

// Removes a key an earlier run left; a failure is logged as a failed write is.
void RemoveResultValue(const std::wstring& path, const ResultValue& value) {
  uint32_t error = 0;
  if (!platform::DeleteProfileKey(value.section, value.key, path, &error)) {
    LOG(ERROR) << "WritePrivateProfileStringW failed, path: " << LogText(path)
               << ", result: , GLE: " << error;
  }
}

// Writes a form, each value whether or not the one before it was written.
// When is_success (the first) cannot be written, a result file an earlier
// run left is removed, so that it cannot tell the opposite of this run.
void WriteResultForm(const std::wstring& path, const std::vector<ResultValue>& form) {
  bool outcome_written = true;
  for (size_t i = 0; i < form.size(); ++i) {
    const ResultValue& value = form[i];
    if (value.remove) {
      RemoveResultValue(path, value);
      continue;
    }
    const bool written = WriteResultValue(path, value.section, value.key, value.value);
    if (i == 0) outcome_written = written;
  }
  if (!outcome_written) RemoveOutdatedResultFile(path);
}

// Until the run has an outcome the result file tells none: a run ended from
// outside (a signal, a crash) must not leave an earlier run's success
// standing for the installer to read. Silent: the form the run writes at its
// end says what could not be written, and leaves the file as it always has.
void MarkOutcomeUnknown(const std::wstring& path) {
  uint32_t error = 0;
  platform::WriteProfileString(L"result", L"is_success", L"false", path, &error);
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

// Writes the result file and the last report; returns the run's exit code.
int32_t FinishRun(RunContext& run, bool succeeded, int32_t exit_code) {
  if (run.record.stopped_for_restart) {
    WriteResultForm(run.result_file, StoppedForRestartForm());
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

}  // namespace

int RunTaverly() {
  platform::KeepStandardStreamsTaken();
  platform::PrepareProgramWaits();
  platform::UseSystemLibrarySearch();
  uint32_t guard_error = 0;
  const platform::InstanceClaim claim = platform::ClaimSingleInstance(&guard_error);
  if (claim == platform::InstanceClaim::kAlreadyRunning) return 0;
  App app(RemoveOutdatedResultFile);
  app.SetInstanceClaim(claim, guard_error);
  RunContext& run = app.run();
  run.record.started_ms = NowMs();

  int32_t exit_code = 0;
  if (!app.Init(exit_code)) return exit_code;

  run.account.name = platform::AccountName();
  run.account.system = IsSystemAccount();
  run.progress.SetWriter([&run] { WriteRunReport(run, false); });
  RunEvents events(run);
  events.Started(run);
  TakeRestartRecord(run);
  MarkOutcomeUnknown(run.result_file);
  const bool succeeded = DoFinishWork(run);
  run.progress.SetWriter(nullptr);
  exit_code = FinishRun(run, succeeded, exit_code);
  events.Finished(run, exit_code);
  return exit_code;
}

void WriteFailureResult(const RunContext& run) {
  WriteResultForm(run.result_file, FailureForm(run.errors, run.record.restart_required));
}

void WriteSuccessResult(const RunContext& run) {
  WriteResultForm(run.result_file, SuccessForm(run.record.restart_required));
}

bool WriteResultValue(const std::wstring& path, const std::wstring& section,
                      const std::wstring& key, const std::wstring& value) {
  const std::wstring flat = FlatResultValue(value);
  uint32_t error = 0;
  if (!platform::WriteProfileString(section, key, flat, path, &error)) {
    LOG(ERROR) << "WritePrivateProfileStringW failed, path: " << LogText(path)
               << ", result: " << LogText(flat) << ", GLE: " << error;
    return false;
  }
  return true;
}
