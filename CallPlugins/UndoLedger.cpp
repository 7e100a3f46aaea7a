#include "CallPlugins/UndoLedger.h"

#include <utility>

UndoStep UndoStepOf(const Item& item) {
  UndoStep step;
  const ItemUndo& undo = item.undo;
  step.item_path = item.path;
  if (!undo.entry.empty()) {
    step.kind = UndoKind::kEntry;
    step.entry = undo.entry;
    step.library = item.path;
  } else if (!undo.program_path.empty()) {
    step.kind = UndoKind::kProgram;
    step.program = undo.program_path;
    step.parameters = undo.program_parameters;
  }
  const bool unreadable = item.UnusedWhy("undo_exitcode") != Unused::kNo;
  step.exit_codes =
      undo.undo_exitcode.empty() || unreadable ? kDefaultUndoExitCodes : undo.undo_exitcode;
  step.timeout_seconds = undo.timeout_seconds;
  step.signed_file = item.signed_item;
  step.sensitive = item.sensitive_text == "1";
  step.log_output = item.log_output == "1";
  return step;
}

const char* UndoStatusName(UndoStatus status) {
  switch (status) {
    case UndoStatus::kUndone:
      return "undone";
    case UndoStatus::kUndoFailed:
      return "undo_failed";
    case UndoStatus::kUndoNotStarted:
      return "undo_not_started";
    case UndoStatus::kNone:
      break;
  }
  return "";
}

const char* LedgerStateName(LedgerState state) {
  switch (state) {
    case LedgerState::kRunning:
      return "running";
    case LedgerState::kStoppedForRestart:
      return "stopped_for_restart";
    case LedgerState::kSucceeded:
      return "succeeded";
    case LedgerState::kRollingBack:
      return "rolling_back";
    case LedgerState::kRolledBack:
      return "rolled_back";
  }
  return "";
}

size_t UndoLedger::Begin(const UndoEntry& entry) {
  entries_.push_back(entry);
  entries_.back().outcome = LedgerOutcome::kStarted;
  Changed();
  return entries_.size() - 1;
}

void UndoLedger::End(size_t index, LedgerOutcome outcome) {
  if (index >= entries_.size()) return;
  entries_[index].outcome = outcome;
  Changed();
}

void UndoLedger::SetState(LedgerState state) {
  state_ = state;
  Changed();
}

void UndoLedger::SetUndoResult(size_t index, const UndoResult& result) {
  if (index >= entries_.size()) return;
  entries_[index].undo = result;
  Changed();
}

void UndoLedger::Restore(LedgerState state, std::vector<UndoEntry> entries) {
  state_ = state;
  entries_ = std::move(entries);
}

std::vector<RollbackEntry> UndoLedger::RollbackEntries() const {
  std::vector<RollbackEntry> rollback;
  for (const UndoEntry& entry : entries_) {
    RollbackEntry row;
    row.has_undo = entry.step.kind != UndoKind::kNone;
    row.boundary = entry.boundary;
    switch (entry.outcome) {
      case LedgerOutcome::kSucceeded:
        row.ended = EndedAs::kSucceeded;
        break;
      case LedgerOutcome::kStarted:
      case LedgerOutcome::kFailedAfterStart:
        row.ended = EndedAs::kFailedAfterStart;
        break;
      case LedgerOutcome::kOther:
        row.ended = EndedAs::kOther;
        break;
    }
    rollback.push_back(row);
  }
  return rollback;
}

void UndoLedger::Changed() {
  if (sink_ != nullptr) sink_->Save(*this);
}
