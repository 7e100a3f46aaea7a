#include "Utils/EventRecords.h"

#include <sodium.h>

#include <utility>

#include "Utils/LogText.h"
#include "Utils/Version.h"

using platform::EventLevel;
using platform::EventRecord;

// Made once, at random, and never changed: collectors key on them.
const EventKindFacts kEventKinds[6] = {
    {EventKind::kRunStarted, 1001, "7c71b5d88517f6b5ff52bbe281402219", EventLevel::kInformation},
    {EventKind::kItemFailed, 1002, "b1d7341a6b15e1577403d2c6499aa141", EventLevel::kError},
    {EventKind::kRunSucceeded, 1003, "75a6c2d4f3e089af25bf47b56b3d12f6", EventLevel::kInformation},
    {EventKind::kRunFailed, 1004, "392019ad6f04fa795d50665259dc074d", EventLevel::kError},
    {EventKind::kRunStoppedForRestart,
     1005,
     "7a0d6e29ef4845d2fcf49262a0575d4c",
     EventLevel::kWarning},
    {EventKind::kRollback, 1006, "12c35bbd1539c8ef442368ec5f377284", EventLevel::kWarning},
};

const EventKindFacts& FactsOf(EventKind kind) { return kEventKinds[static_cast<size_t>(kind)]; }

namespace {

// A value as every record shows it: escaped, and cut where it is too long.
std::string Shown(const std::string& text) {
  static const char kCut[] = "...";
  size_t used = 0;
  std::string shown = EscapedLogText(text, kEventValueLimit - (sizeof kCut - 1), &used);
  if (used < text.size()) shown += kCut;
  return shown;
}

// A record of kind whose fields start with the run's own.
class RecordBuilder {
 public:
  RecordBuilder(EventKind kind, const EventRun& run) {
    const EventKindFacts& facts = FactsOf(kind);
    record_.event_id = facts.event_id;
    record_.message_id = facts.message_id;
    record_.level = facts.level;
    Add("TAVERLY_RUN_ID", run.run_id);
    Add("TAVERLY_PRODUCT_PATH", run.product_path);
  }
  // Adds the field; returns the value as the record shows it.
  std::string Add(const char* name, const std::string& value) {
    record_.fields.push_back({name, Shown(value)});
    return record_.fields.back().value;
  }
  std::string AddNumber(const char* name, uint64_t value) {
    return Add(name, std::to_string(value));
  }
  std::string Value(size_t index) const { return record_.fields[index].value; }
  EventRecord Done(std::string message) {
    record_.message = std::move(message);
    return std::move(record_);
  }

 private:
  EventRecord record_;
};

const char* FailureWord(ItemFailure failure) {
  switch (failure) {
    case ItemFailure::kExitCodeNotAccepted:
      return "exit_code_not_accepted";
    case ItemFailure::kResultNotAccepted:
      return "result_not_accepted";
    case ItemFailure::kTimedOut:
      return "timed_out";
    case ItemFailure::kNotSigned:
      return "not_signed";
    case ItemFailure::kConditionFailed:
      return "condition_failed";
    case ItemFailure::kEndedWithRun:
      return "ended_by_signal";
    case ItemFailure::kEndedTheProcess:
      return "ended_the_process";
    case ItemFailure::kNoUser:
      return "no_user";
    case ItemFailure::kNotRunAsChecked:
      break;
  }
  return "not_run_as_checked";
}

std::string FailureText(const FailedItem& item, const std::string& exit_code) {
  const std::string code = item.has_exit_code ? " " + exit_code : "";
  switch (item.failure) {
    case ItemFailure::kExitCodeNotAccepted:
      return "its exit code" + code + " is not accepted";
    case ItemFailure::kResultNotAccepted:
      return "its entry's result" + code + " is not accepted";
    case ItemFailure::kTimedOut:
      return "it ran past its timeout";
    case ItemFailure::kNotSigned:
      return "its file is not signed as it must be";
    case ItemFailure::kConditionFailed:
      return "its condition " + item.condition + " failed";
    case ItemFailure::kEndedWithRun:
      return "a signal ended the run while it ran";
    case ItemFailure::kEndedTheProcess:
      return "its entry ended the process instead of returning";
    case ItemFailure::kNoUser:
      return "it found no user to run as";
    case ItemFailure::kNotRunAsChecked:
      break;
  }
  return "it cannot run exactly as it was checked";
}

std::string CountsText(RecordBuilder* builder, const EventItemCounts& counts) {
  const struct {
    const char* name;
    uint64_t value;
    const char* words;
  } parts[] = {
      {"TAVERLY_ITEMS", counts.items, " items"},
      {"TAVERLY_ITEMS_SUCCEEDED", counts.succeeded, " succeeded"},
      {"TAVERLY_ITEMS_FAILED", counts.failed, " failed"},
      {"TAVERLY_ITEMS_SKIPPED", counts.skipped, " skipped"},
      {"TAVERLY_ITEMS_NOT_STARTED", counts.not_started, " not started"},
      {"TAVERLY_ITEMS_NOT_REACHED", counts.not_reached, " not reached"},
      {"TAVERLY_ITEMS_DONE_BEFORE_RESTART", counts.done_before_restart, " done before the restart"},
  };
  std::string text;
  for (const auto& part : parts) {
    text += (text.empty() ? "" : ", ") + builder->AddNumber(part.name, part.value) + part.words;
  }
  return text;
}

}  // namespace

std::string NewEventRunId() {
  unsigned char bytes[16];
  randombytes_buf(bytes, sizeof bytes);
  static const char kHex[] = "0123456789abcdef";
  std::string id;
  for (const unsigned char byte : bytes) {
    id += kHex[byte >> 4];
    id += kHex[byte & 0xF];
  }
  return id;
}

EventRecord RunStartedRecord(const EventRun& run, const std::string& account) {
  RecordBuilder record(EventKind::kRunStarted, run);
  const std::string version = record.Add("TAVERLY_VERSION", TaverlyVersion());
  const std::string shown_account = record.Add("TAVERLY_ACCOUNT", account);
  return record.Done("Taverly " + version + " started on " + record.Value(1) + ", account " +
                     shown_account + ".");
}

EventRecord ItemFailedRecord(const EventRun& run, const FailedItem& item) {
  RecordBuilder record(EventKind::kItemFailed, run);
  const std::string phase = record.Add("TAVERLY_PHASE", item.phase);
  const std::string module = record.Add("TAVERLY_MODULE", item.module_file);
  const std::string key = record.Add("TAVERLY_ITEM", item.key);
  const std::string type = record.Add("TAVERLY_ITEM_TYPE", item.type);
  const std::string file = record.Add("TAVERLY_ITEM_FILE", item.file);
  record.Add("TAVERLY_REASON", FailureWord(item.failure));
  const std::string exit_code = record.Add(
      "TAVERLY_ITEM_EXIT_CODE", item.has_exit_code ? std::to_string(item.exit_code) : "");
  const std::string error_code = record.AddNumber("TAVERLY_ERROR_CODE", item.error_code);
  return record.Done("Item " + key + " of " + module + " failed in " + phase + ": " +
                     FailureText(item, exit_code) + " (" + type + " " + file + ", error code " +
                     error_code + ").");
}

EventRecord RunOutcomeRecord(const EventRun& run, const RunOutcome& outcome) {
  const EventKind kind = outcome.stopped_for_restart ? EventKind::kRunStoppedForRestart
                         : outcome.exit_code == 0    ? EventKind::kRunSucceeded
                                                     : EventKind::kRunFailed;
  RecordBuilder record(kind, run);
  const std::string product = record.Value(1);
  const std::string code = record.Add("TAVERLY_EXIT_CODE", std::to_string(outcome.exit_code));
  const std::string counts = CountsText(&record, outcome.counts);
  record.AddNumber("TAVERLY_RESTART_NEEDED", outcome.restart_needed ? 1 : 0);
  record.AddNumber("TAVERLY_STOPPED_FOR_RESTART", outcome.stopped_for_restart ? 1 : 0);
  const std::string restart = outcome.restart_needed ? " A restart is needed." : "";
  switch (kind) {
    case EventKind::kRunStoppedForRestart:
      return record.Done("Taverly stopped on " + product + " for a restart, exit code " + code +
                         ": " + counts + ". Run it again after the restart.");
    case EventKind::kRunSucceeded:
      return record.Done("Taverly finished on " + product + " with exit code " + code + ": " +
                         counts + "." + restart);
    default:
      return record.Done("Taverly failed on " + product + " with exit code " + code + ": " +
                         counts + "." + restart);
  }
}

EventRecord RollbackRecord(const EventRun& run, const EventRollback& rollback) {
  RecordBuilder record(EventKind::kRollback, run);
  const std::string product = record.Value(1);
  const std::string to_undo = record.AddNumber("TAVERLY_ITEMS_TO_UNDO", rollback.to_undo);
  const std::string undone = record.AddNumber("TAVERLY_ITEMS_UNDONE", rollback.undone);
  const std::string failed = record.AddNumber("TAVERLY_ITEMS_UNDO_FAILED", rollback.undo_failed);
  const bool complete = rollback.undone == rollback.to_undo;
  record.Add("TAVERLY_ROLLBACK", complete ? "complete" : "incomplete");
  return record.Done("Taverly rolled back on " + product + ": " + to_undo + " items to undo, " +
                     undone + " undone, " + failed + " undo failed; the rollback is " +
                     (complete ? "complete." : "incomplete."));
}
