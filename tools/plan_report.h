// Renders a plan as text for people and as one JSON document for tools. Both
// are made from the same phrases, so they cannot tell different stories.
#pragma once

#include <string>

#include "tools/plan.h"

// "runs", "skipped: <why>", "fails with error code 52: <why>", "does nothing:
// <why>" or, after an item that fails the run, "not reached: ...".
std::wstring OutcomeText(const PlannedItem& item);
// Whether the item's file is there and, for its type, usable.
std::wstring PathStatusText(const PlannedItem& item, bool libraries_loaded);
// What "timeout" and "log_output" do for an Exe item.
std::wstring TimeoutText(const PlannedItem& item);
std::wstring LogOutputText(const PlannedItem& item);
// What "reboot_exitcode" does for an Exe item.
std::wstring RestartCodesText(const PlannedItem& item);
// The result the runner will accept, as it reads "exitcode".
std::wstring ExpectsText(const PlannedItem& item);
// What the run does with the security base.
std::wstring SecurityBaseText(const SecurityBaseEntry& security_base);

// Returns the plan as text in the narrow code page.
std::string PlanText(const Plan& plan);
// Returns the plan as a JSON document in UTF-8.
std::string PlanJson(const Plan& plan);
