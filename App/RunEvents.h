// Leaves the run's few records in the system's event log (the journal,
// syslog, the Application log): that it started, each item that failed, and
// how it ended. Made from the run context and its record, so that they say
// what the run report says; a product turns them off with --event-records=off.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CallPlugins/RunContext.h"
#include "Utils/EventRecords.h"

// The option that turns the records off: "off" does, "on" keeps them, the
// last one given wins.
constexpr char kEventRecordsOption[] = "--event-records=";
// Answers whether value keeps the records on; anything but "on" and "off"
// keeps them on and sets *understood to false.
bool EventRecordsValue(const std::string& value, bool* understood);

// The items that failed, in run order, as their records tell them.
std::vector<FailedItem> FailedItemsOf(const RunContext& run);
// How the run ended, as its outcome record tells it.
RunOutcome OutcomeOf(const RunContext& run, int32_t exit_code);

// Writes the records of one run, each as the run gets to it.
class RunEvents {
 public:
  // Draws the run's ID; with records off, writes nothing at all.
  explicit RunEvents(const RunContext& run);

  // After start-up, before the phases.
  void Started(const RunContext& run);
  // At the end: a record for each failed item, the rollback's when one ran,
  // then the outcome's.
  void Finished(const RunContext& run, int32_t exit_code);

 private:
  void Write(const platform::EventRecord& record);

  bool on_;
  EventRun run_;
};
