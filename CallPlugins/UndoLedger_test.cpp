#include "CallPlugins/UndoLedger.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Keeps the state and each entry's outcome and undo status at every save.
class RecordingSink : public UndoLedgerSink {
 public:
  void Save(const UndoLedger& ledger) override {
    std::string seen = LedgerStateName(ledger.state());
    for (const UndoEntry& entry : ledger.entries()) {
      seen +=
          " " + std::to_string(static_cast<int>(entry.outcome)) + UndoStatusName(entry.undo.status);
    }
    saves.push_back(seen);
  }
  std::vector<std::string> saves;
};

TEST(UndoLedgerTest, EveryChangeIsSavedAndAnItemStillStartedIsTheFailingOne) {
  RecordingSink sink;
  UndoLedger ledger;
  ledger.SetSink(&sink);
  UndoEntry entry;
  entry.step.kind = UndoKind::kProgram;
  ledger.End(ledger.Begin(entry), LedgerOutcome::kSucceeded);
  ledger.Begin(entry);
  ledger.SetState(LedgerState::kRollingBack);
  ledger.SetUndoResult(1, {UndoStatus::kUndone, true, 0, 5});
  ledger.Restore(LedgerState::kRolledBack, ledger.entries());  // not saved
  EXPECT_EQ(
      sink.saves,
      (std::vector<std::string>{
          "running 0", "running 1", "running 1 0", "rolling_back 1 0", "rolling_back 1 0undone"}));
  const std::vector<RollbackEntry> rows = ledger.RollbackEntries();
  EXPECT_EQ(rows[0].ended, EndedAs::kSucceeded);
  EXPECT_EQ(rows[1].ended, EndedAs::kFailedAfterStart);
}

}  // namespace
