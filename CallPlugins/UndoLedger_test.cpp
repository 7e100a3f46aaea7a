#include "CallPlugins/UndoLedger.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class StateSink : public UndoLedgerSink {
 public:
  void Save(const UndoLedger& ledger) override {
    states.push_back(LedgerStateName(ledger.state()));
  }
  std::vector<std::string> states;
};

TEST(UndoLedgerTest, EveryChangeIsSavedAndAnItemStillStartedIsTheFailingOne) {
  StateSink sink;
  UndoLedger ledger;
  ledger.SetSink(&sink);
  UndoEntry entry;
  ledger.End(ledger.Begin(entry), LedgerOutcome::kSucceeded);
  ledger.Begin(entry);
  ledger.SetState(LedgerState::kRollingBack);
  ledger.SetUndoResult(1, {UndoStatus::kUndone, true, 0, 5});
  ledger.Restore(LedgerState::kRolledBack, ledger.entries());  // not saved
  EXPECT_EQ(
      sink.states,
      (std::vector<std::string>{"running", "running", "running", "rolling_back", "rolling_back"}));
  EXPECT_EQ(ledger.entries()[1].undo.status, UndoStatus::kUndone);
  EXPECT_EQ(ledger.RollbackEntries()[0].ended, EndedAs::kSucceeded);
  EXPECT_EQ(ledger.RollbackEntries()[1].ended, EndedAs::kFailedAfterStart);
}

}  // namespace
