// The pieces of the plan that its files share: planning one item, the
// warnings, and how attribute text is quoted. Private to tools/plan*.cpp.
#pragma once

#include <string>
#include <vector>

#include "tools/plan.h"

class ILwBundle;

// Attribute text as written, its control bytes escaped as in the log.
std::wstring Quoted(const std::string& narrow);
std::wstring Joined(const std::vector<std::string>& parts);

// Why a program that exists cannot be started; empty when it can.
std::wstring StartProblem(const PlannedItem& item);

// Works out what the run would do with one item.
PlannedItem PlanItem(const std::string& key, ILwBundle* bundle, const std::wstring& product_folder,
                     const PlanOptions& options);

// Adds every warning the plan calls for, in the order the tool shows them.
void AddPlanWarnings(const PlanOptions& options, Plan* plan);
