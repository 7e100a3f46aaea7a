#include "App/RunEvents.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A run whose first phase holds one item of each status, the item under test
// the failed one.
RunContext RunWith(const ItemReport& failed, const std::wstring& error_code) {
  RunContext run;
  PhaseReport phase;
  phase.name = "after_setup";
  ItemReport passed;
  passed.status = ItemStatus::kSucceeded;
  phase.items = {passed, failed};
  ItemReport later;
  later.status = ItemStatus::kNotReached;
  phase.items.push_back(later);
  run.record.phases = {phase};
  run.errors.errorCode = error_code;
  return run;
}

// Each way an item fails gives its reason, its exit code or result and the
// error record's number; nothing else of the run gives a record.
TEST(RunEventsTest, FailedItemsTellWhyFromTheReportAndTheErrorRecord) {
  ItemReport item;
  item.status = ItemStatus::kFailed;
  item.key = "12";
  item.type = "Exe";
  item.file = "bin/tool";
  const struct {
    bool exit_code, result, timed_out, not_signed;
    const wchar_t* error;
    ItemFailure failure;
    bool has_code;
    int64_t code;
    uint32_t number;
  } cases[] = {
      // clang-format off
      {true,  false, false, false, L"InstallError:50", ItemFailure::kExitCodeNotAccepted, true,  7,  50},
      {false, true,  false, false, L"InstallError:50", ItemFailure::kResultNotAccepted,   true,  -2, 50},
      {true,  false, true,  false, L"InstallError:51", ItemFailure::kTimedOut,            true,  7,  51},
      {false, false, false, true,  L"InstallError:52", ItemFailure::kNotSigned,           false, 0,  52},
      {false, false, false, false, L"InstallError:52", ItemFailure::kNotRunAsChecked,     false, 0,  52},
      {false, false, false, false, L"InstallError:54", ItemFailure::kNoUser,              false, 0,  54},
      {true,  false, false, false, L"InstallError:5x", ItemFailure::kExitCodeNotAccepted, true,  7,  0},
      // clang-format on
  };
  for (const auto& c : cases) {
    item.has_exit_code = c.exit_code;
    item.exit_code = 7;
    item.has_result = c.result;
    item.result = -2;
    item.timed_out = c.timed_out;
    item.not_signed = c.not_signed;
    const std::vector<FailedItem> failed = FailedItemsOf(RunWith(item, c.error));
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].phase, "after_setup");
    EXPECT_EQ(failed[0].key, "12");
    EXPECT_EQ(failed[0].module_file, "");  // from no module file the record knows
    EXPECT_EQ(failed[0].failure, c.failure) << static_cast<int>(c.failure);
    EXPECT_EQ(failed[0].has_exit_code, c.has_code);
    if (c.has_code) {
      EXPECT_EQ(failed[0].exit_code, c.code);
    }
    EXPECT_EQ(failed[0].error_code, c.number);
  }
  item.failed_by = "if_registry";  // the item did not run: no exit code of its own
  const FailedItem by_condition = FailedItemsOf(RunWith(item, L"InstallError:50"))[0];
  EXPECT_EQ(by_condition.failure, ItemFailure::kConditionFailed);
  EXPECT_EQ(by_condition.condition, "if_registry");
}

// A run stopped for a restart needs one, as its result file says; the counts
// are the report's (checked end to end).
TEST(RunEventsTest, StoppedRunNeedsARestart) {
  ItemReport item;
  item.status = ItemStatus::kDoneBeforeRestart;
  RunContext run = RunWith(item, L"");
  EXPECT_FALSE(OutcomeOf(run, 0).restart_needed);
  run.record.stopped_for_restart = true;
  const RunOutcome outcome = OutcomeOf(run, 211);
  EXPECT_TRUE(outcome.restart_needed);
  EXPECT_TRUE(outcome.stopped_for_restart);
  EXPECT_EQ(outcome.counts.done_before_restart, 1u);
  EXPECT_TRUE(FailedItemsOf(run).empty());
}

}  // namespace
