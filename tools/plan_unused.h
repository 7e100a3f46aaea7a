// The plan's warnings about the attributes an item writes and does not use.
// Private to tools/plan*.cpp.
#pragma once

#include <string>
#include <vector>

#include "tools/plan.h"

// The warnings, in the item's order, of its unused attributes that concern
// stage (Unused.h).
std::vector<PlanWarning> UnusedWarnings(const std::wstring& where, const PlannedItem& item,
                                        UnusedStage stage);
