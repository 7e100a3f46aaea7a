#include "CallPlugins/UndoLedger.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Keeps the state and the outcomes the ledger had at each save.
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

TEST(UndoLedgerTest, EveryChangeIsSavedAndOutcomesMapToTheRollbackOrder) {
  RecordingSink sink;
  UndoLedger ledger;
  ledger.SetSink(&sink);
  UndoEntry entry;
  entry.step.kind = UndoKind::kProgram;
  ledger.End(ledger.Begin(entry), LedgerOutcome::kSucceeded);
  entry.boundary = true;
  ledger.Begin(entry);
  ledger.SetState(LedgerState::kRollingBack);
  ledger.SetUndoResult(1, {UndoStatus::kUndone, true, 0, 5});
  ledger.SetUndoResult(7, {UndoStatus::kUndone, true, 0, 5});  // no such entry
  const std::vector<std::string> saves = {
      "running 0", "running 1", "running 1 0", "rolling_back 1 0", "rolling_back 1 0undone"};
  EXPECT_EQ(saves, sink.saves);
  const std::vector<RollbackEntry> rows = ledger.RollbackEntries();
  ASSERT_EQ(2u, rows.size());
  EXPECT_EQ(EndedAs::kSucceeded, rows[0].ended);
  EXPECT_EQ(EndedAs::kFailedAfterStart, rows[1].ended);  // started: the failing one
  EXPECT_TRUE(rows[1].boundary && rows[1].has_undo);
  ledger.Restore(LedgerState::kSucceeded, {});
  EXPECT_EQ(5u, sink.saves.size());  // a restore is not saved
}

}  // namespace
