#include "CallPlugins/UndoResume.h"

#include <glog/logging.h>

#include "CallPlugins/RunContext.h"
#include "CallPlugins/UndoJournalLedger.h"
#include "Platform/system/system.h"
#include "Utils/LogText.h"

void FindUndoJournal(RunContext& run) {
  UndoJournalSession& session = run.journal;
  session = UndoJournalSession();
  const RestartRecordPlace& place = run.restart.place;
  if (!place.resolved) return;
  session.product = place.product;
  session.path = platform::CombinePath(run.log_folder, UndoJournalName(place.product));
  session.found = ReadUndoJournal(session.path, session.product, ReadRecordKey());
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
    return false;
  }
  if (WriteUndoJournal(session.path, UndoJournalText(session.product, session.key, body),
                       &error)) {
    return true;
  }
  if (!session.write_failed) {
    LOG(ERROR) << "undo journal cannot be written, path: " << LogText(session.path)
               << ", GLE: " << error;
  }
  session.write_failed = true;
  return false;
}

void UndoJournalSession::Save(const UndoLedger& ledger) {
  if (!active && ledger.entries().empty()) return;
  active = true;
  WriteJournalBody(*this, JournalBodyOf(ledger));
}
