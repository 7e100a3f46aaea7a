// Takes back what a run did: the runner's side of the undo ledger (each item
// with an undo or a boundary recorded as it starts and ends) and the
// rollback, which runs each undo through the same start, containment,
// signature check and output capture items use (through run.items), with
// its log lines, and records what became of each undo in the ledger.
#pragma once

#include <cstddef>
#include <string>

#include "Bundle/LwBundle.h"
#include "CallPlugins/RunContext.h"
#include "CallPlugins/UndoLedger.h"

// What the runner records of an item that has neither an undo nor a boundary.
constexpr size_t kNotInLedger = static_cast<size_t>(-1);

// Records the item as started in run.undo when it has an undo or is a
// boundary; its index, or kNotInLedger.
size_t BeginLedgerEntry(RunContext& run, const std::string& phase, const ItemReport& report,
                        const Item& item, ILwBundle* bundle);
// Records how the item at index ended, from its report.
void EndLedgerEntry(RunContext& run, size_t index, const ItemReport& report);

// Runs the undos RollbackOrder gives for ledger (on request: every item
// that succeeded; else back to the nearest boundary), skipping entries
// whose undo was already attempted, latest first, each with its lines; the
// ledger is rolling back while they run and rolled back after. Nothing is
// logged when there is nothing to undo. A request to end the run stops it
// before the next undo, the rest left to do.
RollbackCounts RunUndoSteps(RunContext& run, UndoLedger& ledger, UndoRunMode mode);

// A library's undo entry ended the process (exit): records the undo under
// way as failed, with its line, so that no later run calls it again, and its
// rollback's counts where the run's records take them (the rest is left to
// the next run). False when no undo was under way.
bool EndUndoEndedByLibrary(RunContext& run);

// The rollback of this run when it failed: run.undo's undos, with each
// item's report and run.record.rollback told what became of them.
void RollBackFailedRun(RunContext& run);
