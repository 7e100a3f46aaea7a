// The plan's view of the retry and restart-now classes of an item and of the
// record a run stopped for a restart left. Private to tools/plan*.cpp.
#pragma once

#include <ostream>
#include <vector>

#include "CallPlugins/RestartRecord.h"
#include "Utils/JsonText.h"
#include "tools/plan.h"

class ILwBundle;

// Finds the exit codes an item lists in two of its classes.
void PlanExitClasses(PlannedItem* item);

// Reads the product's record in the log folder and judges it by the machine's key.
RestartRecord PlanRestartRecord(const RunContext& run, Plan* plan);
// Marks an item the next run would pass over, taking it off the record.
void MarkDoneBeforeRestart(RestartRecord* record, ILwBundle* bundle, PlannedItem* item);

// The warnings of an item's classes: attributes not used, codes in two classes.
std::vector<PlanWarning> RestartWarnings(const std::wstring& where, const PlannedItem& item);

// The item's lines and members, where the attributes are written.
void WriteRestartText(const PlannedItem& item, std::ostream& out);
void WriteRestartJson(const PlannedItem& item, json::Writer& json);
// The record's line and member.
void WriteRestartRecordText(const Plan& plan, std::ostream& out);
void WriteRestartRecordJson(const Plan& plan, json::Writer& json);
