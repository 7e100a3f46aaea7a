// Builds the few records a run leaves in the system's event log (the journal,
// syslog, the Windows Application log: Platform/system/event_sink.h writes them):
// that it started, each item that failed, and how it ended. Each kind has an
// event ID, a MESSAGE_ID and fields that never change, for collectors to key
// on (docs/run.md lists them). Built from plain values, never from the
// run's own types; every value goes through the log's escaping, so nothing
// an item or a file name holds can end a field or forge one.
#pragma once

#include <cstdint>
#include <string>

#include "Platform/system/event_sink.h"

enum class EventKind {
  kRunStarted,
  kItemFailed,
  kRunSucceeded,
  kRunFailed,
  kRunStoppedForRestart,
  kRollback,
};

struct EventKindFacts {
  EventKind kind;
  uint32_t event_id;
  const char* message_id;
  platform::EventLevel level;
};

// The facts of each kind, in the order of EventKind.
extern const EventKindFacts kEventKinds[6];
const EventKindFacts& FactsOf(EventKind kind);

// A value longer than this (escaped) is cut at a character and ends "...".
constexpr size_t kEventValueLimit = 4096;

// What every record of one run carries. Text here and below is UTF-8; what
// is not valid UTF-8 (a stray byte of a POSIX name, an unpaired surrogate
// as platform::WideToUtf8KeepingStrays keeps it) is escaped like the rest.
struct EventRun {
  std::string run_id;  // NewEventRunId(): joins the records of one run
  std::string product_path;
};

// 32 lowercase hex digits of random bytes.
std::string NewEventRunId();

platform::EventRecord RunStartedRecord(const EventRun& run, const std::string& account);

// Why an item failed, in the words of TAVERLY_REASON.
enum class ItemFailure {
  kExitCodeNotAccepted,  // "exit_code_not_accepted": its program's exit code (error 50)
  kResultNotAccepted,    // "result_not_accepted": its library entry's result (error 50)
  kTimedOut,             // "timed_out": it ran past its timeout (error 51)
  kNotSigned,            // "not_signed": a signed item's file does not verify (error 52)
  kNotRunAsChecked,      // "not_run_as_checked": it cannot run exactly as checked (error 52)
  kConditionFailed,      // "condition_failed": one of its conditions failed it (error 50)
  kEndedWithRun,         // "ended_by_signal": a signal ended the run while it ran (error 53)
  kEndedTheProcess,      // "ended_the_process": its library entry ended the process (error 50)
  kNoUser,               // "no_user": as_user found no user, or names none it knows (error 54)
};

// An item that failed. No parameters: a sensitive item's never appear, and
// no other item's either, so that no record needs to know which is which.
struct FailedItem {
  std::string phase;
  std::string module_file;
  std::string key;
  std::string type;
  std::string file;  // as written in the module file
  ItemFailure failure = ItemFailure::kExitCodeNotAccepted;
  bool has_exit_code = false;
  int64_t exit_code = 0;    // its program's exit code, or its library entry's result
  uint32_t error_code = 0;  // the number of [error_info] error_code "InstallError:<n>"
  std::string condition{};  // kConditionFailed: the condition's attribute
};

platform::EventRecord ItemFailedRecord(const EventRun& run, const FailedItem& item);

// The run report's counts of the items by status, at the end of the run.
struct EventItemCounts {
  uint64_t items = 0;
  uint64_t succeeded = 0;
  uint64_t failed = 0;
  uint64_t skipped = 0;
  uint64_t not_started = 0;
  uint64_t not_reached = 0;
  uint64_t done_before_restart = 0;
};

struct RunOutcome {
  int exit_code = 0;
  EventItemCounts counts;
  bool restart_needed = false;       // [result] reboot_required
  bool stopped_for_restart = false;  // the run stopped for a restart (211)
};

// kRunStoppedForRestart when the run stopped for a restart, else
// kRunSucceeded for exit code 0 and kRunFailed for any other.
platform::EventRecord RunOutcomeRecord(const EventRun& run, const RunOutcome& outcome);

// What a rollback did: the undos it was to run, those that undid their item
// and those that failed, timed out or did not start.
struct EventRollback {
  uint64_t to_undo = 0;
  uint64_t undone = 0;
  uint64_t undo_failed = 0;
};
platform::EventRecord RollbackRecord(const EventRun& run, const EventRollback& rollback);
