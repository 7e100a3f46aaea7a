#include "App/main.h"

#include <glog/logging.h>

#include <cstdio>
#include <cstdlib>

#include "App/Elevate.h"
#include "App/ResultFile.h"
#include "App/RunEvents.h"
#include "App/RunReportFile.h"
#include "App/app.h"
#include "CallPlugins/DoFinishWork.h"
#include "CallPlugins/InstallErrorRecord.h"
#include "CallPlugins/Item.h"
#include "CallPlugins/RestartResume.h"
#include "CallPlugins/RunReport.h"
#include "CallPlugins/UndoResume.h"
#include "CallPlugins/UndoRun.h"
#include "CmdParser/CommandParser.h"
#include "Platform/files/files.h"
#include "Platform/process/process.h"
#include "Platform/system/system.h"
#include "Utils/LogText.h"
#include "Utils/PathUtils.h"

namespace {

constexpr int kExitStoppedForRestart = 211;

}  // namespace

// A result file that this run could not update must not go on telling an
// earlier run's outcome, or one another account planted: an installer reading
// it would take the opposite for the truth. This is the only place where the
// program removes the file.
void RemoveOutdatedResultFile(const std::wstring& path) {
  platform::DescriptorsFreed freed;
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

constexpr int32_t kExitPluginsFailed = 210;

// Removes a key an earlier run left; a failure is logged as a failed write is.
bool RemoveResultValue(const std::wstring& path, const ResultValue& value) {
  uint32_t error = 0;
  if (!platform::DeleteProfileKey(value.section, value.key, path, &error)) {
    LOG(ERROR) << "WritePrivateProfileStringW failed, path: " << LogText(path)
               << ", result: , GLE: " << error;
    return false;
  }
  return true;
}

// Writes a form, each value whether or not the one before it was written,
// but is_success=true, which only follows every key that belongs with it.
// When is_success cannot be written, a result file an earlier run left is
// removed, so that it cannot tell the opposite of this run.
void WriteResultForm(const std::wstring& path, const std::vector<ResultValue>& form) {
  platform::DescriptorsFreed freed;
  bool all_written = true, outcome_written = true;
  for (const ResultValue& value : form) {
    const bool outcome = std::wstring(value.key) == L"is_success";
    if (value.remove && value.quiet) {
      uint32_t error = 0;
      platform::DeleteProfileKey(value.section, value.key, path, &error);
    } else if (value.remove) {
      all_written &= RemoveResultValue(path, value);
    } else if (outcome && value.value == L"true" && !all_written) {
      outcome_written = false;
    } else {
      const bool written = WriteResultValue(path, value.section, value.key, value.value);
      all_written &= written;
      if (outcome) outcome_written = written;
    }
  }
  if (!outcome_written) RemoveOutdatedResultFile(path);
}

// Until the run has an outcome neither the result file nor the report tells
// one: a run ended from outside (a signal, a crash) must not leave an earlier
// run's success, or its rollback, standing for the installer to read. The
// result file's writes are silent: the form the run writes at its end says
// what could not be written, and leaves the file as it always has; so does
// the final report, which takes an earlier report away when it cannot
// replace it either. Not here: on a full disk a run then ends as it always
// has, its last line saying that the report could not be written.
void MarkOutcomeUnknown(const RunContext& run) {
  platform::DescriptorsFreed freed;
  uint32_t error = 0;
  platform::WriteProfileString(L"result", L"is_success", L"false", run.result_file, &error);
  for (const wchar_t* key : {L"rollback", L"earlier_rollback"}) {
    platform::DeleteProfileKey(L"result", key, run.result_file, &error);
  }
  WriteRunReport(run, false);
}

// The last report of the run, after the result file.
void FinishRunReport(RunContext& run, int32_t exit_code) {
  RunRecord& record = run.record;
  record.finished = true;
  record.finished_ms = NowMs();
  record.exit_code = exit_code;
  record.is_success = exit_code == 0;
  if (!WriteRunReport(run, true)) RemoveOutdatedRunReport(run.report_file);
}

// Writes the result file and the last report; returns the run's exit code.
int32_t FinishRun(RunContext& run, bool succeeded, int32_t exit_code) {
  platform::DescriptorsFreed freed;
  if (run.record.stopped_for_restart) {
    WriteResultForm(run.result_file,
                    WithEarlierRollback(StoppedForRestartForm(), run.record.earlier_rollback));
    FinishRunReport(run, kExitStoppedForRestart);
    return kExitStoppedForRestart;
  }
  if (!succeeded) {
    RollBackFailedRun(run);
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

// --undo: no phase runs; what the journal's last run did is taken back, and
// the result file and the report say so as a run's end does.
int32_t RunUndoRequest(RunContext& run) {
  run.restart.place = LocateRestartRecord(run.log_folder, run.product_folder());
  MarkOutcomeUnknown(run);
  AddFolderToProcessPath(run.product_folder());  // where a run's undos start
  const int32_t exit_code = UndoLastRun(run);
  platform::DescriptorsFreed freed;
  if (exit_code == 0) {
    WriteSuccessResult(run);
  } else {
    WriteFailureResult(run);
  }
  FinishRunReport(run, exit_code);
  return exit_code;
}

// The run under way, for a library entry that ends the process (exit): an
// item's entry in the middle of the phases, or an undo entry.
struct RunUnderWay {
  RunContext* run = nullptr;
  RunEvents* events = nullptr;
  bool phases = false;  // the phases are under way
};
RunUnderWay under_way;

// Records the item under way as the one that ended the process, and says so.
void RecordLibraryEnd(RunContext& run) {
  std::wstring path;
  for (PhaseReport& phase : run.record.phases) {
    for (ItemReport& item : phase.items) {
      if (item.status != ItemStatus::kRunning) continue;
      item.status = ItemStatus::kFailed;
      item.ended_process = true;
      path = ItemFilePath(run.product_folder(), item.file);
    }
  }
  LOG(ERROR) << "library ended the process, file:" << LogText(path);
  run.errors.SetErrorCode(kInstallErrorExitCode);
  run.errors.SetErrorDetail(L"library ended the process, file:" + path);
}

// Runs at exit: a library entry that ended the process while the phases were
// under way fails the run, which ends as a failed run ends; an undo entry
// that ended it is recorded as failed, and the run ends as a failed run
// ends, the rest of its rollback left to the next run. What ends the
// process without the C runtime (_exit, a kill) is not seen here.
void EndRunEndedByLibrary() {
  const RunUnderWay ended = under_way;
  under_way = RunUnderWay();
  if (ended.run == nullptr) return;
  RunContext& run = *ended.run;
  int32_t exit_code = kExitPluginsFailed;
  if (EndUndoEndedByLibrary(run)) {
    if (run.errors.errorCode.empty()) {
      run.errors.SetErrorCode(kInstallErrorExitCode);
      run.errors.SetErrorDetail(L"library ended the process during an undo");
    }
    if (!run.undo_requested) LOG(INFO) << "call plugins failed.";  // as a failed run says
    WriteFailureResult(run);
    FinishRunReport(run, exit_code);
  } else if (ended.phases) {
    RecordLibraryEnd(run);
    exit_code = FinishRun(run, false, 0);
  } else {
    return;
  }
  ended.events->Finished(run, exit_code);
  std::_Exit(exit_code);
}

// Another run holds the guard: this one ends at once, with 0 as it always
// has, but an uninstaller's --undo must not read that as done. The log
// folder is the other run's, so the line goes to standard error only.
int EndBesideAnotherRun() {
  for (const std::string& argument : CommandParser::GetArguments()) {
    if (CommandParser::MatchFlag(argument, CommandParser::kUndoOption) ==
        CommandParser::FlagMatch::kNone) {
      continue;
    }
    std::fputs("undo not run, another run holds the single instance guard\n", stderr);
    return kExitPluginsFailed;
  }
  return 0;
}

}  // namespace

int RunTaverly() {
  platform::KeepStandardStreamsTaken();
  platform::RaiseDescriptorLimit();
  platform::CatchEndRequests();
  platform::UseSystemLibrarySearch();
  uint32_t guard_error = 0;
  const platform::InstanceClaim claim = platform::ClaimSingleInstance(&guard_error);
  if (claim == platform::InstanceClaim::kAlreadyRunning) return EndBesideAnotherRun();
  const bool reserve_kept = platform::KeepDescriptorsInReserve();
  platform::PrepareProgramWaits();
  App app(RemoveOutdatedResultFile);
  app.SetInstanceClaim(claim, guard_error);
  app.SetDescriptorReserve(reserve_kept);
  RunContext& run = app.run();
  run.record.started_ms = NowMs();

  int32_t exit_code = 0;
  if (!app.Init(exit_code)) return exit_code;

  {
    platform::DescriptorsFreed freed;  // the account database is a file
    run.account.name = platform::AccountName();
  }
  run.account.system = IsSystemAccount();
  run.progress.SetWriter([&run] { WriteRunReport(run, false); });
  RunEvents events(run);
  events.Started(run);
  under_way = {&run, &events, false};
  std::atexit(EndRunEndedByLibrary);
  if (run.undo_requested) {
    exit_code = RunUndoRequest(run);
    under_way = RunUnderWay();
    events.Finished(run, exit_code);
    return exit_code;
  }
  TakeRestartRecord(run);
  MarkOutcomeUnknown(run);
  under_way.phases = true;
  const bool succeeded = DoFinishWork(run);
  under_way.phases = false;
  run.progress.SetWriter(nullptr);
  exit_code = FinishRun(run, succeeded, exit_code);
  under_way = RunUnderWay();
  events.Finished(run, exit_code);
  return exit_code;
}

void WriteFailureResult(const RunContext& run) {
  WriteResultForm(
      run.result_file,
      WithEarlierRollback(FailureForm(run.errors, run.record.restart_required, run.record.rollback),
                          run.record.earlier_rollback));
}

void WriteSuccessResult(const RunContext& run) {
  WriteResultForm(run.result_file,
                  WithEarlierRollback(SuccessForm(run.record.restart_required, run.record.rollback),
                                      run.record.earlier_rollback));
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
