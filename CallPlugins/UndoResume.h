// What a run does with its product's undo journal: finds it as the run
// starts (the restart record's place tells where), says why one cannot be
// used, and writes the run's own over it as the run goes on.
#pragma once

#include <string>

#include "CallPlugins/UndoJournal.h"
#include "CallPlugins/UndoLedger.h"

class RunContext;

// What a run knows of its product's journal, and the sink that writes the
// run's ledger into it after every change.
struct UndoJournalSession : UndoLedgerSink {
  std::wstring path;      // empty: the installation path could not be resolved
  std::string product;    // the product digest
  UndoJournalRead found;  // what lay there as the run started
  // The run writes the journal: one was there to replace, or an item of the
  // run has an undo or is a rollback boundary. A product that never had
  // either never gets one.
  bool active = false;
  std::string key;            // the machine's key, once obtained
  bool write_failed = false;  // said once

  // Writes the ledger once the journal is active (it becomes so with the
  // ledger's first entry).
  void Save(const UndoLedger& ledger) override;
};

// Reads the product's journal into run.journal, judged with the machine's
// key, after TakeRestartRecord (or, for --undo, LocateRestartRecord) located
// the product; one that cannot be used is said in one line.
void FindUndoJournal(RunContext& run, const RecordKey& key);

// Before the phases (DoFinishWork, once the product folder is the working
// folder and on PATH): finishes the rollback of a run the journal says was
// ended from outside (running or rolling back), into
// run.record.earlier_rollback; then starts the run's own ledger, which goes
// on with the journal's after a restart (the restart record taken), and
// writes it over the journal found. False when the run was asked to end
// during that rollback: the journal is kept with what is left, and the run
// ends without its phases.
bool TakeUndoJournal(RunContext& run);

// --undo: takes back what the journal's last run did, into
// run.record.rollback, and gives each undone item its entry in the report.
// Answers the exit code: 0 all undone or nothing to undo, 210 not.
int32_t UndoLastRun(RunContext& run);

// Writes body as the product's journal, whole and to the disk. The first
// failure of a run is said in one line; false when it was not written.
bool WriteJournalBody(UndoJournalSession& session, const JournalBody& body);
