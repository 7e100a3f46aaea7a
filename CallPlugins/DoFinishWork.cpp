#include "CallPlugins/DoFinishWork.h"

#include <glog/logging.h>

#include <chrono>
#include <functional>
#include <thread>

#include "App/FilterLoadModule.h"
#include "CallPlugins/AsUserItem.h"
#include "CallPlugins/InstallErrorRecord.h"
#include "CallPlugins/Item.h"
#include "CallPlugins/ItemOutput.h"
#include "CallPlugins/ItemSteps.h"
#include "CallPlugins/LwSecurityBase.h"
#include "CallPlugins/RestartResume.h"
#include "CallPlugins/RunReport.h"
#include "CallPlugins/SignedItems.h"
#include "CallPlugins/UndoResume.h"
#include "CallPlugins/UndoRun.h"
#include "Platform/files/files.h"
#include "Platform/process/process.h"
#include "Utils/FileUtils.h"
#include "Utils/LogText.h"
#include "Utils/PathUtils.h"

namespace {

void RecordItemFailure(InstallErrorRecord& errors, const std::wstring& message) {
  LOG(INFO) << LogText(message);
  errors.SetErrorCode(kInstallErrorExitCode);
  errors.SetErrorDetail(message);
}

// Says what a supervised program wrote and, when it ran past its time limit,
// fails the item. False when it timed out, or was ended with the run (whose
// end records its own failure).
bool ReportSupervision(InstallErrorRecord& errors, const Item& item,
                       const platform::ProgramResult& result) {
  if (result.output_captured) {
    for (const std::string& text : OutputLogTexts(result.output)) {
      LOG(INFO) << "exe output: " << text;
    }
  }
  if (result.ended_with_run) {
    LOG(INFO) << "exe ended with the run, ended its processes, path: " << EscapedLogText(item.path)
              << EndedReachText(result);
    return false;
  }
  if (!result.timed_out) return true;
  LOG(INFO) << "exe timed out, ended its processes, path: " << EscapedLogText(item.path)
            << " ,timeout: " << EscapedLogText(item.timeout) << EndedReachText(result);
  errors.SetErrorCode(kInstallErrorTimedOut);
  errors.SetErrorDetail(L"exe timed out, exe file:" + item.path + L" ,param:" +
                        item.ShownParameters() + L" ,timeout:" + AnsiToWide(item.timeout));
  return false;
}

// Passes an item over at the system gate, with its line; false when it runs.
bool SkippedAtTheGate(const Item& item, bool system_account,
                      const std::function<void(const char*)>& log) {
  // The log texts of this runner are matched byte for byte by installers and
  // log readers: "excute", the blank before each comma and the doubled
  // blanks stay exactly as they are.
  switch (DecideSystemGate(item.system_requirement, system_account)) {
    case SystemGate::kSkipNeedsSystem:
      log("run exe need system, current is not system, will not excute it, path: ");
      return true;
    case SystemGate::kSkipNeedsOtherAccount:
      log("run exe do not need system, current is system, will not excute it, path: ");
      return true;
    case SystemGate::kRun:
      break;
  }
  return false;
}

// Says each attribute of the item's start and exit codes that the item does
// not use, before its start (a library's: before its call).
void LogUnusedAtStart(const Item& item) {
  for (const UnusedAttribute& unused : item.unused) {
    if (unused.stage == UnusedStage::kConditions) continue;
    if (unused.line == UnusedLine::kNotCaptured) {
      LOG(INFO) << "exe output not captured, path: " << EscapedLogText(item.path);
    } else if (unused.line == UnusedLine::kNotUsed) {
      LOG(INFO) << unused.name << " not used, path: " << EscapedLogText(item.path) << " ,"
                << unused.name << ": " << item.ShownText(unused);
    }
  }
}

// Judges the exit code of a program that ran to its end, after any retry: a
// code that asks for a restart, now or at the end, means done, whatever
// "exitcode" lists; else the list decides.
bool JudgeExitCode(RunContext& run, const Item& item, const platform::ProgramResult& result,
                   ItemReport* report) {
  const uint32_t exit_code = result.has_process ? result.exit_code : 0xFFFFFFFFu;
  report->status = ItemStatus::kSucceeded;
  switch (ClassOfExitCode(item, result.has_process, exit_code, false)) {
    case CodeClass::kRestartNow:
      LOG(INFO) << "exitCode asks for a restart before the next item , exitCode: " << exit_code;
      report->restart = true;
      run.record.restart_required = true;
      run.record.stopped_for_restart = true;
      return true;
    case CodeClass::kRestart:
      LOG(INFO) << "exitCode asks for a restart , exitCode: " << exit_code;
      report->restart = true;
      run.record.restart_required = true;
      return true;
    case CodeClass::kRetry:
    case CodeClass::kAccepted:
      if (item.has_expectation) {
        LOG(INFO) << "exitCode match the expectations , exitCode: " << exit_code
                  << ". expected result: " << kExpectedLibraryResult;
      }
      return true;
    case CodeClass::kRefused:
      break;
  }
  report->status = ItemStatus::kFailed;
  RecordItemFailure(run.errors,
                    L"exitCode do not match expectations, exe file:" + item.path + L" ,param:" +
                        item.ShownParameters() + L" ,exe exit code:" + std::to_wstring(exit_code) +
                        L" ,expected exit code:" + L"-1");
  return false;
}

// kTimedOut: it timed out, or was ended with the run.
enum class AttemptEnd { kNotStarted, kTimedOut, kEnded };

// Starts the program, and again while its exit code is in the retry class
// and attempts are left; a program that timed out is not started again.
AttemptEnd RunAttempts(RunContext& run, const Item& item, const platform::ProgramRequest& request,
                       ItemReport* report, platform::ProgramResult* result) {
  const ExitClasses& classes = item.exit_classes;
  report->retry_used = !classes.retry_codes.empty();
  for (uint32_t attempt = 1;; ++attempt) {
    const bool free = InstallerLetsItemStart(run, item);
    if (!free) {
      *result = BusyInstallerResult();
    } else if (!run.items->Start(request, result)) {
      return AttemptEnd::kNotStarted;
    }
    report->has_exit_code = result->has_process;
    report->exit_code = result->exit_code;
    report->signal = result->signal;
    report->timed_out = result->timed_out;
    if (report->retry_used && result->has_process) {
      report->attempt_exit_codes.push_back(result->exit_code);
    }
    if (free && request.capture_output && !result->output_captured) {
      LOG(INFO) << "exe output not captured, path: " << EscapedLogText(item.path);
    }
    report->status = ItemStatus::kFailed;
    if (!ReportSupervision(run.errors, item, *result)) return AttemptEnd::kTimedOut;
    const uint32_t code = result->exit_code;
    if (ClassOfExitCode(item, result->has_process, code, attempt <= classes.retries) !=
            CodeClass::kRetry ||
        platform::EndRequestName() != nullptr) {
      return AttemptEnd::kEnded;
    }
    LOG(INFO) << "exe will be started again, exitCode: " << code << " ,attempt: " << attempt + 1
              << " of " << classes.retries + 1;
    std::this_thread::sleep_for(std::chrono::seconds(classes.retry_delay));
  }
}

// Starts the program (again, as its retry class asks) and judges how it ended.
bool StartAndJudge(RunContext& run, const Item& item, const platform::ProgramRequest& request,
                   ItemReport* report) {
  platform::ProgramResult result;
  switch (RunAttempts(run, item, request, report, &result)) {
    case AttemptEnd::kNotStarted:
      // What was checked must run: a signed program that does not start fails.
      if (item.signed_item) return FailSignedStart(run.errors, item, result.start_error, report);
      LogNotStarted(item, result);
      report->status = ItemStatus::kNotStarted;
      return true;
    case AttemptEnd::kTimedOut:
      return false;
    case AttemptEnd::kEnded:
      break;
  }
  return JudgeExitCode(run, item, result, report);
}

bool RunExeItem(RunContext& run, const Item& item, ItemReport* report) {
  // Every record shows the parameters as ShownParameters does; only the
  // start gets the parameters themselves.
  const auto log = [&](const char* text) {
    LOG(INFO) << text << LogText(item.path) << " , param: " << LogText(item.ShownParameters())
              << " ,wait_for_exit: " << (item.wait ? "1" : "0")
              << " , system: " << NarrowLogText(item.system);
  };
  if (SkippedAtTheGate(item, run.account.system, log)) {
    report->status = ItemStatus::kSkipped;
    return true;
  }
  bool done = true;
  if (!ConditionsLetItemRun(run, item, report, &done)) return done;
  LogUnusedAtStart(item);
  std::vector<platform::UserSession> sessions;
  if (!AsUserLetsItemRun(run, item, report, &sessions, &done)) return done;
  log("run exe application: ");
  platform::ProgramRequest request = StartRequest(run, item);
  platform::ReadOnlyFile signed_file;
  if (item.signed_item) {
    if (!OpenSignedItem(*run.items, run.errors, item, &signed_file, report)) return false;
    request.opened = &signed_file;
  }
  return StartInSessions(
      sessions, &request, report, [&] { return StartAndJudge(run, item, request, report); });
}

bool RunSimpleDllItem(RunContext& run, const Item& item, ItemReport* report) {
  bool done = true;
  if (!ConditionsLetItemRun(run, item, report, &done)) return done;
  InstallErrorRecord& errors = run.errors;
  const std::string& entry = item.entry;
  LOG(INFO) << "run dll: " << LogText(item.path) << " , entry: " << NarrowLogText(entry);
  LogUnusedAtStart(item);

  // Libraries stay loaded for the rest of the process, whatever the outcome.
  uint32_t error = 0;
  bool refused = false;
  void* library = LoadItemLibrary(run, item, report, &refused, &error);
  if (refused) return false;
  if (library == nullptr) {
    LOG(INFO) << "LoadLibrary fail: " << LogText(item.path) << " ,getlasterror = " << error;
    if (item.signed_item) return FailSignedLoad(errors, item, error, report);
    report->status = ItemStatus::kNotStarted;
    return true;
  }
  int32_t result = 0;
  if (!run.items->CallEntry(library, entry, &result)) {
    LOG(INFO) << "run dll fail: " << LogText(item.path) << " , entry: " << NarrowLogText(entry);
    report->status = ItemStatus::kNotStarted;
    return true;
  }
  report->has_result = true;
  report->result = result;
  report->status = ItemStatus::kSucceeded;
  if (!item.has_expectation || result == kExpectedLibraryResult) return true;

  report->status = ItemStatus::kFailed;
  RecordItemFailure(errors,
                    L"exitCode do not match expectations, exe file:" + item.path + L" ,entry:" +
                        AnsiToWide(entry) + L" ,exe exit code:" + std::to_wstring(result) +
                        L" ,expected exit code:" + L"-1");
  return false;
}

ILwSecurityBase*& SecurityBaseObject() {
  static ILwSecurityBase* object = nullptr;
  return object;
}

}  // namespace

PluginCaller::PluginCaller(RunContext& run) : run_(run) {}

bool PluginCaller::LoadSecurityBase() {
  std::wstring path = SecurityBasePath(run_.product_folder());
  SecurityBaseEntry& report = run_.record.security_base;
  report.path = path;
  if (!platform::PathExists(path)) return false;
  report.present = true;
  // The file judged is the file loaded: it is opened once, judged and loaded
  // through that open file.
  platform::ReadOnlyFile file;
  if (!OpenAndVerifyFile(path, &file, &report.verdict)) {
    LOG(ERROR) << "check file sign fail, file path: " << LogText(path);
    return false;
  }
  // Neither the library nor its object is ever released.
  uint32_t error = 0;
  // Its dependencies are found as they always were.
  void* library =
      platform::LoadOpenedLibrary(file, path, platform::DependencySearch::kAsUnsigned, &error);
  if (library == nullptr) return false;
  auto factory = reinterpret_cast<TaverlySecurityBaseFactory>(
      platform::FindExport(library, TAVERLY_SECURITY_BASE_FACTORY));
  if (factory == nullptr) return false;
  static const LwGuid kInterfaceId = TAVERLY_IID_SECURITY_BASE_INIT;
  factory(&kInterfaceId, reinterpret_cast<void**>(&SecurityBaseObject()));
  if (SecurityBaseObject() == nullptr) return false;
  SecurityBaseObject()->Start();
  report.started = true;
  return true;
}

bool PluginCaller::CallPluginContainer(PhaseItemMap items) {
  std::vector<ItemReport> unreported;
  std::vector<ItemReport>& reports = phase_report_ != nullptr ? phase_report_->items : unreported;
  size_t index = 0;
  for (const auto& entry : items) {
    if (RunEndRequested(run_)) return false;
    ILwBundle* bundle = entry.second;
    ItemReport& report = ReportOf(reports, index, entry.first, bundle);
    const Item item = ParseItem(report, bundle, run_.product_folder());
    report.status = ItemStatus::kRunning;
    run_.progress.Report(index == 0);
    ++index;

    if (DoneBeforeRestart(run_, report, bundle)) {
      LOG(INFO) << "item done before the restart, path: " << LogText(item.path);
      report.status = ItemStatus::kDoneBeforeRestart;
      continue;
    }
    const size_t undo_entry = BeginLedgerEntry(
        run_, phase_report_ != nullptr ? phase_report_->name : "", report, item, bundle);
    const auto started = std::chrono::steady_clock::now();
    bool done = true;
    switch (item.kind) {
      case ItemKind::kExe:
        done = RunExeItem(run_, item, &report);
        break;
      case ItemKind::kSimpleDll:
        done = RunSimpleDllItem(run_, item, &report);
        break;
      case ItemKind::kSkipped:
        report.status = ItemStatus::kSkipped;
        break;
    }
    if (report.status != ItemStatus::kSkipped) {
      report.has_duration = true;
      const auto elapsed = std::chrono::steady_clock::now() - started;
      report.duration_ms = static_cast<uint64_t>(
          std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
    }
    EndLedgerEntry(run_, undo_entry, report);
    // The item under way when the run was asked to end failed with it.
    if (RunEndRequested(run_)) {
      report.status = ItemStatus::kFailed;
      report.ended_by = run_.record.ended_by;
      return false;
    }
    if (!done || run_.record.stopped_for_restart) return false;
  }
  return true;
}

bool DoFinishWork(RunContext& run) {
  AddFolderToProcessPath(run.product_folder());
  // Undo programs start where items do: in the product folder, on PATH.
  if (!TakeUndoJournal(run)) {  // asked to end during an earlier run's rollback
    RunEndRequested(run);
    return false;
  }
  PluginCaller caller(run);
  caller.LoadSecurityBase();

  auto verdicts = std::make_shared<VerdictRecorder>(run.install_path(), true);
  caller.SetCatalogue(std::make_unique<ModXmlLoader>(run.product_folder(), verdicts, &run.errors));
  bool loaded = caller.catalogue()->LoadModules();
  RecordCatalogue(caller.catalogue(), *verdicts, &run.record);
  if (!loaded) return false;

  for (size_t i = 0; i < kPhaseCount; ++i) {
    const PhaseRule& phase = kPhaseRules[i];
    PhaseReport& report = run.record.phases[i];
    if (RunEndRequested(run)) return false;
    PhaseItemMap items = (caller.catalogue()->*phase.items)();
    report.reached = true;
    if (items.empty()) return false;
    LOG(INFO) << phase.start_line;
    caller.SetPhaseReport(&report);
    const bool succeeded = caller.CallPluginContainer(items);
    caller.SetPhaseReport(nullptr);
    if (run.record.stopped_for_restart) {
      run.undo.SetState(LedgerState::kStoppedForRestart);
      WriteRestartRecord(run, caller.catalogue());
      return true;
    }
    if (!succeeded) {
      LOG(ERROR) << phase.failure_line;
      return false;
    }
    report.succeeded = true;
    LOG(INFO) << phase.end_line;
  }
  run.undo.SetState(LedgerState::kSucceeded);
  return true;
}
