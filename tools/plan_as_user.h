// The plan's view of whom an Exe item's program runs as (as_user): the
// sessions it would run in now, and what the run does when there are none.
// Private to tools/plan*.cpp.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "Utils/JsonText.h"
#include "tools/plan.h"

// Looks up the sessions an Exe item with as_user would run in and, where
// the run comes to it (after its system gate and conditions), decides what
// the run does without a user: passes it over (when_no_user "skip") or fails
// it with error code 54, as it fails an item whose as_user names no known
// value.
void PlanAsUser(const PlanOptions& options, bool reached, PlannedItem* item);

// "runs as alice (session c2)", "no user is logged on: passed over", ...;
// empty for an item without a used as_user.
std::wstring AsUserText(const PlannedItem& item);

// The warning of an as_user that names no known value.
std::vector<PlanWarning> AsUserWarnings(const std::wstring& where, const PlannedItem& item);

// The item's line and members, where as_user is used.
void WriteAsUserText(const PlannedItem& item, std::ostream& out);
void WriteAsUserJson(const PlannedItem& item, json::Writer& json);
