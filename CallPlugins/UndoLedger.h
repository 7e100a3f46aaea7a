// Keeps what a run did that can be taken back: each item with an undo (or a
// rollback boundary) in the order the items ended, what its undo needs to
// run without its module file, and what became of the undo; and the run's
// state. Plain data, so that a journal can write it whole and read it back:
// the ledger hands itself to its sink after every change (before an item
// starts, after it ends, around each undo), and the sink keeps it durably.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CallPlugins/Item.h"
#include "CallPlugins/Rollback.h"

enum class UndoKind { kNone, kProgram, kEntry };

// Everything an undo needs, taken from its item when the item starts.
struct UndoStep {
  UndoKind kind = UndoKind::kNone;
  std::wstring item_path;   // the item's path, as its lines print it
  std::wstring program;     // kProgram: resolved as if_program's
  std::wstring parameters;  // kProgram: "%productpath%" replaced
  std::string entry;        // kEntry: the export of the item's library
  std::wstring library;     // kEntry: the item's library
  std::string exit_codes;   // the codes that mean undone, read as exitcode is
  uint32_t timeout_seconds = kDefaultUndoTimeout;
  bool signed_file = false;  // signed="1": the program or library is judged first
  bool sensitive = false;    // sensitive="1": the records show kHiddenParameters
  bool log_output = false;   // log_output="1": the program's output goes to the log
};

// The undo step of a parsed item (kind kNone when it has no undo).
UndoStep UndoStepOf(const Item& item);

enum class LedgerOutcome {
  kStarted,           // under way: its program or entry may have begun
  kSucceeded,         // done, restart codes included
  kFailedAfterStart,  // failed once started
  kOther,             // passed over, skipped, not started
};

enum class UndoStatus { kNone, kUndone, kUndoFailed, kUndoNotStarted };
// "undone", "undo_failed", "undo_not_started"; "" for kNone.
const char* UndoStatusName(UndoStatus status);

// What became of an undo, for the records.
struct UndoResult {
  UndoStatus status = UndoStatus::kNone;
  bool has_exit_code = false;  // a program's exit code, or an entry's result
  int64_t exit_code = 0;
  uint64_t duration_ms = 0;
};

struct UndoEntry {
  std::string identity;     // ItemIdentity, when the ledger has an identity key
  std::string module_file;  // the module file's name
  std::string key;          // the item's key in its phase
  std::string phase;        // its phase's element ("after_setup")
  std::wstring path;        // the item's path
  LedgerOutcome outcome = LedgerOutcome::kStarted;
  bool boundary = false;
  UndoStep step;
  UndoResult undo;
};

enum class LedgerState { kRunning, kStoppedForRestart, kSucceeded, kRollingBack, kRolledBack };
// "running", "stopped_for_restart", "succeeded", "rolling_back", "rolled_back".
const char* LedgerStateName(LedgerState state);

class UndoLedger;
// What keeps the ledger after each change (the journal). None by default.
class UndoLedgerSink {
 public:
  virtual ~UndoLedgerSink() = default;
  virtual void Save(const UndoLedger& ledger) = 0;
};

class UndoLedger {
 public:
  void SetSink(UndoLedgerSink* sink) { sink_ = sink; }
  // With a key set, the runner gives each entry its identity (ItemIdentity).
  void SetIdentityKey(const std::string& key) { identity_key_ = key; }
  const std::string& identity_key() const { return identity_key_; }

  // Records an item about to start (outcome kStarted); its index.
  size_t Begin(const UndoEntry& entry);
  // Records how the item at index ended.
  void End(size_t index, LedgerOutcome outcome);
  void SetState(LedgerState state);
  // Records what became of the undo of the entry at index.
  void SetUndoResult(size_t index, const UndoResult& result);
  // Replaces everything, as a journal read back tells it; the sink is not called.
  void Restore(LedgerState state, std::vector<UndoEntry> entries);

  LedgerState state() const { return state_; }
  const std::vector<UndoEntry>& entries() const { return entries_; }
  // The entries as RollbackOrder takes them; kStarted counts as failed after start.
  std::vector<RollbackEntry> RollbackEntries() const;

 private:
  void Changed();

  UndoLedgerSink* sink_ = nullptr;
  std::string identity_key_;
  LedgerState state_ = LedgerState::kRunning;
  std::vector<UndoEntry> entries_;
};

// Why a rollback runs, which its first line says.
enum class UndoRunMode {
  kFailedRun,       // this run failed
  kInterruptedRun,  // an earlier run was ended during its phases or its rollback
  kRequested,       // --undo: everything the last successful run did
};

// The undo running now: its ledger and entry, and the counts of its rollback.
struct UndoUnderWay {
  UndoLedger* ledger = nullptr;  // null: no undo is running
  size_t index = 0;
  RollbackCounts* counts = nullptr;
  UndoRunMode mode = UndoRunMode::kFailedRun;
};
