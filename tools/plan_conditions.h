// The plan's view of an item's conditions and of its wait for a busy
// installer. Private to tools/plan*.cpp.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "Utils/JsonText.h"
#include "tools/plan.h"

// Judges the item's conditions where the run judges them (after the system
// gate, before the start or the call), with the run's own rules: when one
// passes the item over or fails it, it decides the item's outcome. Starts
// if_program only with options.start_conditions.
void PlanConditions(const PlanOptions& options, PlannedItem* item);

// Whether a condition passes the item over or fails it: the run then never
// opens the item's file, nor checks its signature.
bool ConditionDecides(const PlannedItem& item);

// "creates "done.txt", if_program "check.sh" (up to 60 s); all hold", or what
// decided; empty when the item has no condition.
std::wstring ConditionsText(const PlannedItem& item);
// What "wait_for_installer" does for the item, and whether the installer is
// busy now.
std::wstring InstallerWaitText(const PlannedItem& item);

// The warnings of the attributes of conditions and of the installer wait that
// the item does not use.
std::vector<PlanWarning> ConditionWarnings(const std::wstring& where, const PlannedItem& item);

// The item's lines and members, where the attributes are written.
void WriteConditionsText(const PlannedItem& item, std::ostream& out);
void WriteConditionsJson(const PlannedItem& item, json::Writer& json);
