#include "App/RunEvents.h"

#include <glog/logging.h>

#include "Platform/system/event_sink.h"
#include "Platform/system/system.h"
#include "Utils/LogText.h"
#include "Utils/PathUtils.h"

namespace {

std::string Utf8(const std::wstring& wide) { return platform::WideToUtf8KeepingStrays(wide); }
std::string Utf8(const std::string& narrow) { return AnsiToUtf8(narrow.c_str()); }

// The number of the error record's "InstallError:<n>"; 0 for any other text.
uint32_t ErrorNumber(const std::wstring& code) {
  static const std::wstring kPrefix = L"InstallError:";
  if (code.compare(0, kPrefix.size(), kPrefix) != 0) return 0;
  uint32_t number = 0;
  for (size_t i = kPrefix.size(); i < code.size(); ++i) {
    if (code[i] < L'0' || code[i] > L'9' || number > 100000000) return 0;
    number = number * 10 + static_cast<uint32_t>(code[i] - L'0');
  }
  return number;
}

ItemFailure FailureOf(const ItemReport& item, uint32_t error_code) {
  if (error_code == kInstallErrorAsUser) return ItemFailure::kNoUser;
  if (item.failed_by != nullptr) return ItemFailure::kConditionFailed;
  if (item.ended_by != nullptr) return ItemFailure::kEndedWithRun;
  if (item.ended_process) return ItemFailure::kEndedTheProcess;
  if (item.timed_out) return ItemFailure::kTimedOut;
  if (error_code == kInstallErrorNotSigned) {
    return item.not_signed ? ItemFailure::kNotSigned : ItemFailure::kNotRunAsChecked;
  }
  return item.has_result ? ItemFailure::kResultNotAccepted : ItemFailure::kExitCodeNotAccepted;
}

FailedItem FailedItemOf(const RunRecord& record, const std::string& phase, const ItemReport& item,
                        uint32_t error_code) {
  FailedItem failed;
  failed.phase = phase;
  if (item.module < record.modules.size()) {
    failed.module_file = Utf8(record.modules[item.module].record.path);
  }
  failed.key = item.key;
  failed.type = Utf8(item.type);
  failed.file = Utf8(item.file);
  failed.failure = FailureOf(item, error_code);
  if (failed.failure == ItemFailure::kConditionFailed) failed.condition = item.failed_by;
  failed.has_exit_code = item.has_exit_code || item.has_result;
  failed.exit_code = item.has_result ? item.result : static_cast<int64_t>(item.exit_code);
  failed.error_code = error_code;
  return failed;
}

}  // namespace

bool EventRecordsValue(const std::string& value, bool* understood) {
  *understood = value == "on" || value == "off";
  return value != "off";
}

std::vector<FailedItem> FailedItemsOf(const RunContext& run) {
  const uint32_t error_code = ErrorNumber(run.errors.errorCode);
  std::vector<FailedItem> failed;
  for (const PhaseReport& phase : run.record.phases) {
    for (const ItemReport& item : phase.items) {
      if (item.status == ItemStatus::kFailed) {
        failed.push_back(FailedItemOf(run.record, phase.name, item, error_code));
      }
    }
  }
  return failed;
}

RunOutcome OutcomeOf(const RunContext& run, int32_t exit_code) {
  const ItemCounts counts = CountItems(run.record);
  RunOutcome outcome;
  outcome.exit_code = exit_code;
  outcome.counts.items = counts.items;
  outcome.counts.succeeded = counts.succeeded;
  outcome.counts.failed = counts.failed;
  outcome.counts.skipped = counts.skipped;
  outcome.counts.not_started = counts.not_started;
  outcome.counts.not_reached = counts.not_reached;
  outcome.counts.done_before_restart = counts.done_before_restart;
  outcome.restart_needed = run.record.restart_required || run.record.stopped_for_restart;
  outcome.stopped_for_restart = run.record.stopped_for_restart;
  return outcome;
}

RunEvents::RunEvents(const RunContext& run) : on_(run.event_records) {
  if (!on_) return;
  run_.run_id = NewEventRunId();
  run_.product_path = Utf8(run.product_folder());
}

void RunEvents::Started(const RunContext& run) {
  if (on_) Write(RunStartedRecord(run_, Utf8(run.account.name)));
}

void RunEvents::Finished(const RunContext& run, int32_t exit_code) {
  if (!on_) return;
  for (const FailedItem& item : FailedItemsOf(run)) Write(ItemFailedRecord(run_, item));
  for (const RollbackCounts* rollback : {&run.record.earlier_rollback, &run.record.rollback}) {
    if (!rollback->Attempted()) continue;
    Write(RollbackRecord(run_, {rollback->to_undo, rollback->undone, rollback->undo_failed}));
  }
  Write(RunOutcomeRecord(run_, OutcomeOf(run, exit_code)));
}

void RunEvents::Write(const platform::EventRecord& record) {
  if (!on_) return;
  const platform::EventWriteAnswer answer = platform::WriteEventRecord(record);
  // Where the system has no log, or one that is busy, the records are lost
  // without a word: they are for collectors, and the log folder tells all.
  // A source that cannot be registered is told once, as it stays so.
  if (!answer.source_refused) return;
  LOG(ERROR) << "event records not written, the event source Taverly cannot be registered, call: "
             << NarrowLogText(answer.failed_call) << ", GLE: " << answer.error;
  on_ = false;
}
