// The undo ledger in the journal's words, and back: each entry one record of
// named fields, so that a journal read back is the ledger that was written,
// and --undo needs no module file.
#pragma once

#include "CallPlugins/UndoJournal.h"
#include "CallPlugins/UndoLedger.h"

JournalBody JournalBodyOf(const UndoLedger& ledger);
// Restores ledger from body (its sink is not called); false, with the
// ledger untouched, when a state or field is none the journal writes.
bool RestoreLedger(const JournalBody& body, UndoLedger* ledger);
