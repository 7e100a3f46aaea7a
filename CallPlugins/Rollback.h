// Decides which items a rollback takes back and in which order, from the
// items of a run in the order they ended. Pure: nothing here logs, starts or
// records anything; the runner (UndoRun.h) and taverly-plan both ask it.
#pragma once

#include <cstddef>
#include <vector>

// How an item of the run ended, as far as its undo is concerned.
enum class EndedAs {
  kSucceeded,         // done, restart codes included
  kFailedAfterStart,  // failed once its program was started or its entry called
  kOther,             // passed over, skipped by the system gate, not started
};

struct RollbackEntry {
  bool has_undo = false;
  EndedAs ended = EndedAs::kOther;
  bool boundary = false;  // rollback_boundary="1"
};

enum class RollbackMode {
  kFailure,    // a failed run: back to the nearest boundary
  kOnRequest,  // --undo: everything that succeeded, boundaries ignored
};

// What a rollback did; nothing attempted when to_undo is 0.
struct RollbackCounts {
  size_t to_undo = 0;
  size_t undone = 0;
  size_t undo_failed = 0;  // failed, timed out or not started
  bool stopped = false;    // the run was asked to end before the last undo
  bool Attempted() const { return to_undo > 0; }
  bool Complete() const { return undone == to_undo; }
};

// The indices of entries (in the order the items ended) to undo, in the
// order their undos run. Failure: first the last entry when it failed after
// its start and has an undo; then each earlier entry that succeeded and has
// an undo, latest first, stopping at the nearest boundary (a boundary stays
// done with all before it, whatever its own outcome; a failing boundary
// still gets its own undo). On request: every entry that succeeded and has
// an undo, latest first. An entry without an undo is never in the list.
std::vector<size_t> RollbackOrder(const std::vector<RollbackEntry>& ended, RollbackMode mode);
