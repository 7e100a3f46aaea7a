// Keeps what a run does, item by item, for the run report: the JSON file
// TaverlyRunReport.json that an installer reads beside the result file (its
// format is docs/run-report.md, its schema docs/run-report.schema.json).
// The runner fills the run's record (RunContext) as it goes; the entry
// renders it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "CallPlugins/InstallErrorRecord.h"
#include "CallPlugins/Item.h"
#include "CallPlugins/RunModel.h"
#include "CallPlugins/UndoLedger.h"
#include "LoadXml/LoadModXml.h"

// The report's format name; a change that readers cannot ignore gets a new one.
constexpr char kRunReportSchema[] = "taverly-run-report/1";

enum class ItemStatus {
  kRunning,     // under way: only in a report written while the run goes on
  kSucceeded,   // ran, and its result was accepted or not checked
  kFailed,      // its result was not accepted, it timed out, or the run ended under it
  kSkipped,     // a type that is not run, the system gate, or a condition
  kNotStarted,  // the program could not be started, the library not loaded, the entry not found
  kNotReached,  // its phase was not entered, or an earlier item of its phase failed
  kDoneBeforeRestart,  // done in the run that stopped for a restart; passed over
};
// "running", "succeeded", ...
const char* ItemStatusName(ItemStatus status);

// The module of an item that came from no module file the record knows.
constexpr size_t kNoModule = static_cast<size_t>(-1);

// The report's view of an item: its head and what became of it. Kept small,
// as a run may hold ten thousand: the module file is an index into the
// record's modules, and the path is formed again when rendered.
struct ItemReport : ItemHead {
  // With the head's file, the module file and the path: what plan and report
  // share, so that a tool can join them on key.
  std::string key;
  size_t module = kNoModule;  // index into RunRecord::modules

  ItemStatus status = ItemStatus::kNotReached;
  bool has_exit_code = false;  // an Exe item's program was started with a process
  uint32_t exit_code = 0;
  uint32_t signal = 0;  // POSIX: the signal that ended the program (exit code 128 + it); 0: none
  bool has_result = false;  // a SimpleDll item's entry was called
  int32_t result = 0;
  bool has_duration = false;  // the item was started or called, or tried to be
  uint64_t duration_ms = 0;
  bool timed_out = false;   // Exe items
  bool not_signed = false;  // signed="1": its file does not verify (error 52)
  bool restart = false;     // Exe items: the exit code asked for a restart
  // Exe items with a retry class: the exit code of every attempt, in order.
  bool retry_used = false;
  std::vector<uint32_t> attempt_exit_codes;
  // A condition or as_user passed the item over: the attribute ("creates",
  // "as_user", ...). Such an item counts as done for the restart record.
  const char* skipped_by = nullptr;
  // A condition failed the item (it could not be judged, or if_program
  // failed), or as_user did (not known, or no user): the attribute.
  const char* failed_by = nullptr;
  // The signal that ended the run while the item was under way ("SIGTERM").
  const char* ended_by = nullptr;
  // Exe items with as_user: the user and session of each start, in order.
  struct Session {
    std::wstring user, session;
  };
  std::vector<Session> as_user;
  // Its library entry ended the process instead of returning.
  bool ended_process = false;
  // What became of its undo in the run's rollback (kNone: none attempted).
  UndoResult undo;
};

using PhaseReport = PhaseEntry<ItemReport>;

// The entry of the item at index with key in a phase's report, which lists
// the same items in the same order; an item it lacks gets its entry there.
ItemReport& ReportOf(std::vector<ItemReport>& reports, size_t index, const std::string& key,
                     ILwBundle* bundle);

struct RunRecord {
  int64_t started_ms = 0;  // milliseconds since 1970, UTC
  SecurityBaseEntry security_base;
  std::vector<ModuleEntry> modules;  // in search order
  std::vector<PhaseReport> phases;   // in run order, once the catalogue was read
  bool restart_required = false;
  // An item's exit code stopped the run for a restart (exit code 211).
  bool stopped_for_restart = false;
  // What the rollback of a failed run did (none attempted: to_undo 0).
  RollbackCounts rollback;
  // What the rollback of a run ended from outside, which this run finished
  // before its phases, did.
  RollbackCounts earlier_rollback;
  // The signal that asked the run to end (error 53); null: none.
  const char* ended_by = nullptr;
  // The end of the run; a report written before it is a progress report.
  bool finished = false;
  int64_t finished_ms = 0;
  int32_t exit_code = 0;
  bool is_success = false;
};

// Puts what the catalogue found into record: the module files with the
// verdicts, and every admitted item, not reached yet.
void RecordCatalogue(ModXmlLoader* catalogue, const VerdictRecorder& verdicts, RunRecord* record);

struct ItemCounts {
  size_t items = 0, running = 0, succeeded = 0, failed = 0, skipped = 0, not_started = 0,
         not_reached = 0, done_before_restart = 0;
};
// Counts the items of all phases by status; they add up to items.
ItemCounts CountItems(const RunRecord& record);

class RunContext;
// Renders the run's record as the report, in UTF-8, with the run's product
// folder and account and its error record as "error".
std::string RunReportJson(const RunContext& run);

// Formats milliseconds since 1970 as UTC in ISO 8601: "2026-12-08T03:56:12.345Z".
std::string UtcTimestamp(int64_t ms);
// The current time as milliseconds since 1970.
int64_t NowMs();

// How often a report is written while the run goes on: at the start of each
// phase, and before an item when at least kProgressIntervalMs have passed
// since the last write, so that many quick items cost nothing.
constexpr int64_t kProgressIntervalMs = 250;
class ProgressPacer {
 public:
  // Answers whether a progress report is due now (monotonic milliseconds).
  bool Due(int64_t now_ms, bool phase_start);

 private:
  bool written_ = false;
  int64_t last_ms_ = 0;
};

// Writes a progress report through the writer the entry sets (none set:
// nothing is written) where the runner says one may be due.
class ProgressReporter {
 public:
  void SetWriter(std::function<void()> writer);
  void Report(bool phase_start);

 private:
  std::function<void()> writer_;
  ProgressPacer pacer_;
};
