#include "Utils/EventRecords.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using platform::EventLevel;
using platform::EventRecord;

const EventRun kRun = {"00112233445566778899aabbccddeeff", "/opt/product"};

// The record's IDs, level and fields, one "NAME=value" a line.
std::string Shape(const EventRecord& record) {
  std::string shape = std::to_string(record.event_id) + " " + record.message_id + " " +
                      std::to_string(platform::SyslogSeverity(record.level)) + "\n";
  for (const auto& field : record.fields) shape += field.name + "=" + field.value + "\n";
  return shape;
}

// A run's records share an ID drawn for it alone. The fields of each kind, in
// order, are checked end to end (e2e EventRecordsTest).
TEST(EventRecordsTest, EachRunDrawsItsOwnId) {
  const std::string id = NewEventRunId();
  EXPECT_EQ(id.size(), 32u);
  EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
  EXPECT_NE(NewEventRunId(), id);
}

TEST(EventRecordsTest, ItemFailedSaysWhyInWordsAndText) {
  FailedItem item{"after_setup", "mod_core.xml", "12", "Exe", "bin/setup"};
  item.has_exit_code = true;
  item.exit_code = -3;
  item.error_code = 50;
  item.condition = "if_program";
  const struct {
    ItemFailure failure;
    bool has_exit_code;
    const char* word;
    const char* text;
  } failures[] = {
      {ItemFailure::kExitCodeNotAccepted, false, "exit_code_not_accepted", "its exit code is"},
      {ItemFailure::kResultNotAccepted, true, "result_not_accepted", "its entry's result -3 is"},
      {ItemFailure::kTimedOut, true, "timed_out", "it ran past its timeout"},
      {ItemFailure::kNotSigned, false, "not_signed", "its file is not signed as it must be"},
      {ItemFailure::kNotRunAsChecked, false, "not_run_as_checked", "it cannot run exactly as"},
      {ItemFailure::kConditionFailed, false, "condition_failed", "its condition if_program failed"},
      {ItemFailure::kNoUser, false, "no_user", "it found no user to run as"},
      {ItemFailure::kEndedWithRun, true, "ended_by_signal", "a signal ended the run while it ran"},
      {ItemFailure::kEndedTheProcess, false, "ended_the_process", "its entry ended the process"},
  };
  for (const auto& failure : failures) {
    item.failure = failure.failure;
    item.has_exit_code = failure.has_exit_code;
    const EventRecord other = ItemFailedRecord(kRun, item);
    EXPECT_EQ(other.fields[7].value, failure.word);
    EXPECT_EQ(other.fields[8].value, failure.has_exit_code ? "-3" : "");
    EXPECT_NE(other.message.find(std::string("after_setup: ") + failure.text), std::string::npos)
        << other.message;
  }
}

TEST(EventRecordsTest, OutcomeKindFollowsTheRunsEnd) {
  RunOutcome outcome;
  outcome.counts = {10, 6, 1, 1, 1, 1, 0};
  outcome.exit_code = 210;
  outcome.restart_needed = true;
  EXPECT_EQ(Shape(RunOutcomeRecord(kRun, outcome)).substr(0, 40),
            "1004 392019ad6f04fa795d50665259dc074d 3\n");
  EXPECT_NE(RunOutcomeRecord(kRun, outcome).message.find(". A restart is needed."),
            std::string::npos);

  outcome = RunOutcome();
  const EventRecord succeeded = RunOutcomeRecord(kRun, outcome);
  EXPECT_EQ(Shape(succeeded).substr(0, 40), "1003 75a6c2d4f3e089af25bf47b56b3d12f6 6\n");
  EXPECT_EQ(succeeded.message,
            "Taverly finished on /opt/product with exit code 0: 0 items, 0 succeeded, 0 failed, "
            "0 skipped, 0 not started, 0 not reached, 0 done before the restart.");
  outcome.exit_code = 211;
  outcome.stopped_for_restart = true;
  outcome.counts = {3, 0, 0, 0, 0, 1, 2};
  const EventRecord stopped = RunOutcomeRecord(kRun, outcome);
  EXPECT_EQ(Shape(stopped).substr(0, 40), "1005 7a0d6e29ef4845d2fcf49262a0575d4c 4\n");
  EXPECT_EQ(stopped.message,
            "Taverly stopped on /opt/product for a restart, exit code 211: 3 items, 0 succeeded, "
            "0 failed, 0 skipped, 0 not started, 1 not reached, 2 done before the restart. Run it "
            "again after the restart.");
  EXPECT_EQ(stopped.fields.back().value, "1");
  const EventRecord rollback = RollbackRecord(kRun, {3, 2, 1});
  EXPECT_EQ(Shape(rollback).substr(0, 40), "1006 12c35bbd1539c8ef442368ec5f377284 4\n");
  EXPECT_EQ(rollback.message,
            "Taverly rolled back on /opt/product: 3 items to undo, 2 undone, 1 undo failed; the "
            "rollback is incomplete.");
}

// Nothing a name holds reaches a record unescaped: no field or message can
// end early, take a line of its own, or hold what is not UTF-8.
TEST(EventRecordsTest, ValuesAreEscapedAndCut) {
  FailedItem item{"after_setup",
                  "mod\n.xml",
                  "1\r\nTAVERLY_ERROR_CODE=0",
                  "Exe",
                  std::string("bin/\xFF\x01tool\xE2\x80\xA8")};
  item.error_code = 52;
  const EventRecord record = ItemFailedRecord({"id", std::string(5000, 'p')}, item);
  EXPECT_EQ(record.fields[3].value, "mod\\x0A.xml");
  EXPECT_EQ(record.fields[4].value, "1\\x0D\\x0ATAVERLY_ERROR_CODE=0");
  EXPECT_EQ(record.fields[6].value, "bin/\\xFF\\x01tool\\xE2\\x80\\xA8");
  EXPECT_EQ(record.fields[1].value, std::string(kEventValueLimit - 3, 'p') + "...");
  EXPECT_EQ(record.message.find('\n'), std::string::npos);
  EXPECT_EQ(platform::JournalDatagram(record).find("\nTAVERLY_ERROR_CODE=0"), std::string::npos);
}

}  // namespace
