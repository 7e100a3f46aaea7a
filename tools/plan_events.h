// The plan's view of the records a run leaves in the system's event log:
// whether they are on, where this machine would take them, and which kinds
// the predicted run would write. Private to tools/plan*.cpp.
#pragma once

#include <ostream>
#include <vector>

#include "Utils/EventRecords.h"
#include "Utils/JsonText.h"
#include "tools/plan.h"

enum class RecordWhen {
  kAlways,
  kIfAnItemFails,       // an item that checks its result, has a timeout or is signed
  kIfEveryItemPasses,   // the outcome of a run the plan predicts to succeed
  kIfAnItemStopsTheRun  // an item lists restart-now exit codes
};

struct PlannedRecord {
  EventKind kind;
  RecordWhen when;
};

// Whether the run can fail the item: it runs and checks its result, has a
// time limit or must be signed.
bool CanFail(const PlannedItem& item);

// The kinds the run would write, in the order it writes them; none when off.
std::vector<PlannedRecord> PlannedRecords(const Plan& plan);

void WriteEventRecordsText(const Plan& plan, std::ostream& out);
void WriteEventRecordsJson(const Plan& plan, json::Writer& json);
