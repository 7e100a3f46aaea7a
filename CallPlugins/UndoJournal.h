// The undo journal's file: what a run of a product did that can be taken
// back, and how far a rollback got, written whole and to the disk before
// each start and after each end, so that a run ended from outside (killed, a
// power cut) leaves it for the next run of the product. One per product,
// beside its restart record; it holds undo parameters, sensitive ones too,
// so only a file this account alone may have written or read is used, and
// its content carries a digest keyed with the machine's key.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "CallPlugins/RecordKey.h"
#include "CallPlugins/RestartRecord.h"

// One record of the journal: named fields, each value any bytes.
using JournalFields = std::vector<std::pair<std::string, std::string>>;

// What the journal says: the run's state and its items in the order they
// ended (or started, for one still under way).
struct JournalBody {
  std::string state;
  std::vector<JournalFields> items;
};

// The journal's file name for a product digest:
// "TaverlyUndoJournal.<16 digits of product>.dat".
std::wstring UndoJournalName(const std::string& product);

// The journal's text for the run of product, its digest keyed with key.
std::string UndoJournalText(const std::string& product, const std::string& key,
                            const JournalBody& body);

// A journal read: usable, or why not, as the restart record's refusals say
// it (RestartRecordRefusal); the body only when usable.
struct UndoJournalRead {
  RestartRecordState state = RestartRecordState::kMissing;
  JournalBody body;
};

// Reads the journal's text for product with the machine's key.
UndoJournalRead ParseUndoJournal(const std::string& text, const std::string& product,
                                 const RecordKey& key);
// Reads the journal at path without following a link or blocking on a
// FIFO; one another account owns, or may write or read, is kForeign.
UndoJournalRead ReadUndoJournal(const std::wstring& path, const std::string& product,
                                const RecordKey& key);

// Replaces the journal at path with text, whole and flushed to the disk.
// False with the system error number.
bool WriteUndoJournal(const std::wstring& path, const std::string& text, uint32_t* error);
