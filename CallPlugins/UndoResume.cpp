#include "CallPlugins/UndoResume.h"

#include <glog/logging.h>

#include "CallPlugins/RunContext.h"
#include "CallPlugins/UndoJournalLedger.h"
#include "CallPlugins/UndoRun.h"
#include "Platform/files/files.h"
#include "Platform/system/system.h"
#include "Utils/LogText.h"

void FindUndoJournal(RunContext& run, const RecordKey& key) {
  UndoJournalSession& session = run.journal;
  session = UndoJournalSession();
  const RestartRecordPlace& place = run.restart.place;
  if (!place.resolved) return;
  session.product = place.product;
  session.path = platform::CombinePath(run.log_folder, UndoJournalName(place.product));
  session.found = ReadUndoJournal(session.path, session.product, key);
  if (session.found.state == RestartRecordState::kMissing) return;
  // Whatever it says, this run's journal replaces it.
  session.active = true;
  if (session.found.state == RestartRecordState::kUsable) return;
  LOG(ERROR) << "undo journal not used, path: " << LogText(session.path)
             << " ,reason: " << RestartRecordRefusal(session.found.state);
}

namespace {

bool JournalKey(UndoJournalSession& session) {
  if (!session.key.empty()) return true;
  const RecordKey key = ObtainRecordKey();
  if (key.state == RecordKeyState::kUsable) {
    session.key = key.bytes;
    return true;
  }
  if (!session.write_failed) {
    LOG(ERROR) << "undo journal cannot be written, its key cannot be used, "
               << RecordKeyRefusal(key.state) << ", path: " << LogText(key.path);
  }
  return false;
}

// A journal this run could not bring up to date would tell an earlier
// state as the current one, and a later run would act on it (undo again
// what was undone): it is taken away.
void RemoveOutdatedJournal(const UndoJournalSession& session) {
  uint32_t error = 0;
  switch (platform::RemoveProfileFile(session.path, &error)) {
    case platform::RemoveOutcome::kRemoved:
      LOG(ERROR) << "undo journal removed, it could not be updated, path: "
                 << LogText(session.path);
      break;
    case platform::RemoveOutcome::kFailed:
      LOG(ERROR) << "undo journal could not be removed, path: " << LogText(session.path)
                 << ", GLE: " << error;
      break;
    case platform::RemoveOutcome::kNothing:
      break;
  }
}

}  // namespace

bool WriteJournalBody(UndoJournalSession& session, const JournalBody& body) {
  if (session.path.empty()) {
    if (!session.write_failed) {
      LOG(ERROR) << "undo journal cannot be written, the installation path cannot be resolved";
    }
    session.write_failed = true;
    return false;
  }
  uint32_t error = 0;
  if (!JournalKey(session)) {
    session.write_failed = true;
    RemoveOutdatedJournal(session);
    return false;
  }
  if (WriteUndoJournal(session.path, UndoJournalText(session.product, session.key, body), &error)) {
    return true;
  }
  if (!session.write_failed) {
    LOG(ERROR) << "undo journal cannot be written, path: " << LogText(session.path)
               << ", GLE: " << error;
  }
  session.write_failed = true;
  RemoveOutdatedJournal(session);
  return false;
}

void UndoJournalSession::Save(const UndoLedger& ledger) {
  if (!active && ledger.entries().empty()) return;
  active = true;
  WriteJournalBody(*this, JournalBodyOf(ledger));
}

namespace {

// The ledger the journal found holds; false when none is usable.
bool FoundLedger(RunContext& run, UndoLedger* found) {
  UndoJournalSession& session = run.journal;
  if (session.found.state != RestartRecordState::kUsable) return false;
  if (RestoreLedger(session.found.body, found)) return true;
  LOG(ERROR) << "undo journal not used, path: " << LogText(session.path)
             << " ,reason: " << RestartRecordRefusal(RestartRecordState::kTorn);
  return false;
}

}  // namespace

bool TakeUndoJournal(RunContext& run) {
  const RecordKey key = ReadRecordKey();
  FindUndoJournal(run, key);
  UndoLedger found;
  const bool usable = FoundLedger(run, &found);
  if (usable &&
      (found.state() == LedgerState::kRunning || found.state() == LedgerState::kRollingBack)) {
    found.SetSink(&run.journal);
    run.record.earlier_rollback = RunUndoSteps(run, found, UndoRunMode::kInterruptedRun);
    if (run.record.earlier_rollback.stopped) return false;
  }
  run.undo.SetSink(&run.journal);
  // Each entry's identity, as the restart record knows its item, where the
  // machine has a key already (none is made for it).
  if (key.state == RecordKeyState::kUsable) run.undo.SetIdentityKey(key.bytes);
  // The restart record and the journal agree: the items passed over as
  // done before the restart are those the journal holds as done.
  if (usable && found.state() == LedgerState::kStoppedForRestart &&
      run.restart.taken.state == RestartRecordState::kUsable) {
    run.undo.Restore(LedgerState::kRunning, found.entries());
  }
  if (run.journal.active) run.journal.Save(run.undo);
  return true;
}

namespace {

// The report's entry of each item whose undo this run attempted, in its
// phase: the run read no module file, so the journal's entry is all it has.
void ReportUndoneItems(RunContext& run, const UndoLedger& ledger) {
  RunRecord& record = run.record;
  for (const PhaseRule& rule : kPhaseRules) {
    PhaseReport phase;
    phase.name = rule.element;
    for (const UndoEntry& entry : ledger.entries()) {
      if (entry.phase != phase.name || entry.undo.status == UndoStatus::kNone) continue;
      ItemReport item;
      item.key = entry.key;
      item.file = platform::WideToUtf8(entry.path);
      item.undo = entry.undo;
      phase.items.push_back(item);
    }
    record.phases.push_back(phase);
  }
}

// What was undone is no longer recorded; what was not is tried again by
// the next --undo, in state left.
void ForgetUndone(UndoLedger* ledger, LedgerState left_state) {
  std::vector<UndoEntry> left;
  for (UndoEntry entry : ledger->entries()) {
    if (entry.undo.status == UndoStatus::kUndone) continue;
    entry.undo = UndoResult();
    left.push_back(entry);
  }
  const bool all = left.empty();
  ledger->Restore(ledger->state(), std::move(left));
  ledger->SetState(all ? LedgerState::kRolledBack : left_state);
}

// After a stop for a restart, the run it would resume is taken back: the
// next run must not pass over what was undone, or tried, as done.
void RemoveRestartRecord(const RunContext& run) {
  uint32_t error = 0;
  if (platform::RemoveProfileFile(run.restart.place.path, &error) ==
      platform::RemoveOutcome::kFailed) {
    LOG(ERROR) << "restart record could not be removed, path: " << LogText(run.restart.place.path)
               << ", GLE: " << error;
  }
}

}  // namespace

int32_t UndoLastRun(RunContext& run) {
  constexpr int32_t kNotAllUndone = 210;
  FindUndoJournal(run, ReadRecordKey());
  UndoLedger found;
  const bool usable = FoundLedger(run, &found);
  if (!usable && run.journal.found.state != RestartRecordState::kMissing) return kNotAllUndone;
  // A run ended from outside is finished first, as any run does.
  if (usable &&
      (found.state() == LedgerState::kRunning || found.state() == LedgerState::kRollingBack)) {
    found.SetSink(&run.journal);
    run.record.earlier_rollback = RunUndoSteps(run, found, UndoRunMode::kInterruptedRun);
    if (run.record.earlier_rollback.stopped) return kNotAllUndone;
  }
  if (!usable ||
      (found.state() != LedgerState::kSucceeded &&
       found.state() != LedgerState::kStoppedForRestart) ||
      RollbackOrder(found.RollbackEntries(), RollbackMode::kOnRequest).empty()) {
    LOG(INFO) << "nothing to undo";
    if (usable && found.state() == LedgerState::kStoppedForRestart) RemoveRestartRecord(run);
    return run.record.earlier_rollback.Complete() ? 0 : kNotAllUndone;
  }
  const bool stopped = found.state() == LedgerState::kStoppedForRestart;
  found.SetSink(&run.journal);
  run.record.rollback = RunUndoSteps(run, found, UndoRunMode::kRequested);
  ReportUndoneItems(run, found);
  if (stopped) RemoveRestartRecord(run);
  ForgetUndone(&found, LedgerState::kSucceeded);
  return run.record.rollback.Complete() && run.record.earlier_rollback.Complete() ? 0
                                                                                  : kNotAllUndone;
}
