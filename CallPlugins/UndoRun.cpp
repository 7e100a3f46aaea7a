#include "CallPlugins/UndoRun.h"

#include <glog/logging.h>

#include <chrono>
#include <map>
#include <utility>
#include <vector>

#include "CallPlugins/ItemOutput.h"
#include "CallPlugins/ItemSteps.h"
#include "CallPlugins/RestartRecord.h"
#include "CallPlugins/RestartResume.h"
#include "CallPlugins/SignedItems.h"
#include "Platform/process/process.h"
#include "Utils/LogText.h"

namespace {

// An item standing for the undo's program or library, for the signature
// check items get.
Item SignedUndoFile(const UndoStep& step) {
  Item file;
  const bool entry = step.kind == UndoKind::kEntry;
  file.kind = entry ? ItemKind::kSimpleDll : ItemKind::kExe;
  file.path = entry ? step.library : step.program;
  file.signed_item = true;
  file.wait = true;
  return file;
}

// Opens and judges a signed undo's file; false, with the undo's line, when
// it is not accepted.
bool SignedUndoAccepted(ItemSystem& system, const UndoStep& step, platform::ReadOnlyFile* file,
                        const std::string& path) {
  InstallErrorRecord ignored;  // the run's error stays the failure that started the rollback
  ItemReport report;
  if (OpenSignedItem(system, ignored, SignedUndoFile(step), file, &report)) return true;
  LOG(ERROR) << "undo failed, path: " << path << " ,file not signed";
  return false;
}

UndoResult RunUndoProgram(RunContext& run, const UndoStep& step, const std::string& path) {
  UndoResult undo;
  undo.status = UndoStatus::kUndoNotStarted;
  LOG(INFO) << "run undo: " << EscapedLogText(step.program) << " , param: "
            << EscapedLogText(step.sensitive ? std::wstring(kHiddenParameters) : step.parameters)
            << " ,item: " << path;
  platform::ProgramRequest request;
  request.file = step.program;
  request.parameters = step.parameters;
  request.wait = true;
  request.timeout_ms = step.timeout_seconds * 1000u;
  request.capture_output = step.log_output && platform::CanCaptureOutput(step.program);
  request.while_waiting = [&run] { run.progress.Report(false); };
  platform::ReadOnlyFile signed_file;
  if (step.signed_file) {
    if (!SignedUndoAccepted(*run.items, step, &signed_file, path)) return undo;
    request.opened = &signed_file;
  }
  platform::ProgramResult result;
  if (!run.items->Start(request, &result)) {
    LOG(ERROR) << "undo failed, path: " << path << " ,not started, error: " << result.start_error
               << " ,reason: " << EscapedLogText(NotStartedReason(step.program, result));
    return undo;
  }
  if (result.output_captured) {
    for (const std::string& text : OutputLogTexts(result.output)) {
      LOG(INFO) << "exe output: " << text;
    }
  }
  if (result.ended_with_run) {
    // Not failed: still under way for the next run, which starts it again.
    const char* signal = platform::EndRequestName();
    LOG(ERROR) << "undo stopped, path: " << path << " ,ended with the run"
               << (signal != nullptr ? " by signal " : "") << (signal != nullptr ? signal : "");
    undo.status = UndoStatus::kNone;
    return undo;
  }
  undo.status = UndoStatus::kUndoFailed;
  if (result.timed_out) {
    LOG(ERROR) << "undo failed, path: " << path << " ,timed out";
    return undo;
  }
  const uint32_t code = result.has_process ? result.exit_code : 0xFFFFFFFFu;
  undo.has_exit_code = true;
  undo.exit_code = code;
  if (!InExpectedCodes(ReadExpectedCodes(step.exit_codes), code)) {
    LOG(ERROR) << "undo failed, path: " << path << " ,exit code: " << code;
    return undo;
  }
  LOG(INFO) << "item undone, path: " << path << " ,exit code: " << code;
  undo.status = UndoStatus::kUndone;
  return undo;
}

UndoResult CallUndoEntry(RunContext& run, const UndoStep& step, const std::string& path) {
  UndoResult undo;
  undo.status = UndoStatus::kUndoNotStarted;
  LOG(INFO) << "call undo entry: " << EscapedLogText(step.entry) << " ,item: " << path;
  platform::ReadOnlyFile signed_file;
  if (step.signed_file && !SignedUndoAccepted(*run.items, step, &signed_file, path)) return undo;
  uint32_t error = 0;
  void* library = run.items->Load(step.library, step.signed_file ? &signed_file : nullptr, &error);
  if (library == nullptr) {
    LOG(ERROR) << "undo failed, path: " << path << " ,not started, error: " << error;
    return undo;
  }
  int32_t result = 0;
  if (!run.items->CallEntry(library, step.entry, &result)) {
    LOG(ERROR) << "undo failed, path: " << path << " ,entry not found";
    return undo;
  }
  undo.has_exit_code = true;
  undo.exit_code = result;
  if (result != kExpectedLibraryResult) {
    LOG(ERROR) << "undo failed, path: " << path << " ,result: " << result;
    undo.status = UndoStatus::kUndoFailed;
    return undo;
  }
  LOG(INFO) << "item undone, path: " << path << " ,result: " << result;
  undo.status = UndoStatus::kUndone;
  return undo;
}

UndoResult RunUndoStep(RunContext& run, const UndoStep& step) {
  const auto started = std::chrono::steady_clock::now();
  const std::string path = EscapedLogText(step.item_path);
  UndoResult undo = step.kind == UndoKind::kEntry ? CallUndoEntry(run, step, path)
                                                  : RunUndoProgram(run, step, path);
  undo.duration_ms = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now() - started)
                                               .count());
  return undo;
}

// The entries to undo, in order, but those whose undo was already attempted.
std::vector<size_t> UndosLeft(const UndoLedger& ledger, UndoRunMode mode) {
  const RollbackMode order_mode =
      mode == UndoRunMode::kRequested ? RollbackMode::kOnRequest : RollbackMode::kFailure;
  std::vector<size_t> left;
  for (size_t index : RollbackOrder(ledger.RollbackEntries(), order_mode)) {
    if (ledger.entries()[index].undo.status == UndoStatus::kNone) left.push_back(index);
  }
  return left;
}

void LogOpening(UndoRunMode mode, size_t count) {
  if (mode == UndoRunMode::kInterruptedRun) {
    LOG(INFO) << "rollback of an interrupted run, items to undo: " << count;
  } else if (mode == UndoRunMode::kRequested) {
    LOG(INFO) << "undo requested, items to undo: " << count;
  }
  LOG(INFO) << "rollback started, items to undo: " << count;
}

// Gives each item of this run whose undo was attempted what became of it.
void ReportUndos(RunContext& run) {
  std::map<std::pair<std::string, std::string>, ItemReport*> reports;
  for (PhaseReport& phase : run.record.phases) {
    for (ItemReport& item : phase.items) reports[{phase.name, item.key}] = &item;
  }
  for (const UndoEntry& entry : run.undo.entries()) {
    const auto report = reports.find({entry.phase, entry.key});
    if (entry.undo.status != UndoStatus::kNone && report != reports.end()) {
      report->second->undo = entry.undo;
    }
  }
}

}  // namespace

size_t BeginLedgerEntry(RunContext& run, const std::string& phase, const ItemReport& report,
                        const Item& item, ILwBundle* bundle) {
  if (!item.undo.Any() && !item.undo.boundary) return kNotInLedger;
  UndoEntry entry;
  entry.module_file = ModuleFileName(run.record, report.module);
  if (!run.undo.identity_key().empty()) {
    entry.identity = ItemIdentity(run.undo.identity_key(), entry.module_file, bundle);
  }
  entry.key = report.key;
  entry.phase = phase;
  entry.path = item.path;
  entry.boundary = item.undo.boundary;
  entry.step = UndoStepOf(item);
  return run.undo.Begin(entry);
}

void EndLedgerEntry(RunContext& run, size_t index, const ItemReport& report) {
  if (index == kNotInLedger) return;
  LedgerOutcome outcome = LedgerOutcome::kOther;
  if (report.status == ItemStatus::kSucceeded) {
    outcome = LedgerOutcome::kSucceeded;
  } else if (report.status == ItemStatus::kFailed &&
             (report.has_exit_code || report.has_result || report.timed_out)) {
    outcome = LedgerOutcome::kFailedAfterStart;
  }
  run.undo.End(index, outcome);
}

RollbackCounts RunUndoSteps(RunContext& run, UndoLedger& ledger, UndoRunMode mode) {
  RollbackCounts counts;
  const std::vector<size_t> left = UndosLeft(ledger, mode);
  counts.to_undo = left.size();
  if (left.empty()) return counts;
  LogOpening(mode, counts.to_undo);
  ledger.SetState(LedgerState::kRollingBack);
  const auto stop_requested = [&counts] {
    const char* signal = platform::EndRequestName();
    if (signal == nullptr) return false;
    counts.stopped = true;
    LOG(ERROR) << "rollback stopped, the run was asked to end by signal " << signal
               << ", items left: " << counts.to_undo - counts.undone - counts.undo_failed;
    return true;
  };
  for (size_t index : left) {
    if (stop_requested()) break;
    run.undo_under_way = {&ledger, index, &counts, mode};
    const UndoResult undo = RunUndoStep(run, ledger.entries()[index].step);
    run.undo_under_way = UndoUnderWay();
    if (undo.status == UndoStatus::kNone) {  // ended with the run
      if (!stop_requested()) counts.stopped = true;
      break;
    }
    ++(undo.status == UndoStatus::kUndone ? counts.undone : counts.undo_failed);
    ledger.SetUndoResult(index, undo);
  }
  if (counts.Complete()) {
    LOG(INFO) << "rollback ended, undone: " << counts.undone << " ,undo failed: 0";
  } else {
    LOG(ERROR) << "rollback ended, undone: " << counts.undone
               << " ,undo failed: " << counts.undo_failed;
  }
  if (!counts.stopped) ledger.SetState(LedgerState::kRolledBack);
  return counts;
}

bool EndUndoEndedByLibrary(RunContext& run) {
  const UndoUnderWay ended = run.undo_under_way;
  run.undo_under_way = UndoUnderWay();
  if (ended.ledger == nullptr) return false;
  const UndoStep& step = ended.ledger->entries()[ended.index].step;
  LOG(ERROR) << "undo failed, path: " << EscapedLogText(step.item_path)
             << " ,library ended the process";
  UndoResult failed;
  failed.status = UndoStatus::kUndoFailed;
  ended.ledger->SetUndoResult(ended.index, failed);
  RollbackCounts& counts = *ended.counts;
  ++counts.undo_failed;
  LOG(ERROR) << "rollback ended, undone: " << counts.undone
             << " ,undo failed: " << counts.undo_failed;
  if (ended.mode == UndoRunMode::kInterruptedRun) {
    run.record.earlier_rollback = counts;
  } else {
    run.record.rollback = counts;
  }
  if (ended.mode == UndoRunMode::kFailedRun) ReportUndos(run);
  return true;
}

void RollBackFailedRun(RunContext& run) {
  run.record.rollback = RunUndoSteps(run, run.undo, UndoRunMode::kFailedRun);
  if (run.record.rollback.Attempted()) ReportUndos(run);
}
