// The pieces of the plan that its files share: planning one item, the
// warnings, and how attribute text is quoted. Private to tools/plan*.cpp.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "Utils/JsonText.h"
#include "tools/plan.h"

class ILwBundle;

// Attribute text as written, its control bytes escaped as in the log.
std::wstring Quoted(const std::string& narrow);
std::wstring Joined(const std::vector<std::string>& parts);

// The item's outcome and its fate in the run report's words, for the JSON form.
const char* OutcomeName(ItemOutcome outcome);
const char* PredictionName(const PlannedItem& item, bool phase_reached);

// Judges a start as the run's start judges it: the shell's refusal, whether
// this account can start it (as checked, for a signed item), the system's
// limit on parameters.
StartCheck CheckStart(const std::wstring& path, const std::wstring& parameters, bool signed_item);
// Why a program that exists cannot be started; empty when it can.
std::wstring StartProblem(const StartCheck& start);
std::wstring StartProblem(const PlannedItem& item);

// Works out what the run would do with one item.
PlannedItem PlanItem(const std::string& key, ILwBundle* bundle, const RunContext& run,
                     const PlanOptions& options);

// Marks a signed="1" item the run would fail with error code 52 (not one the
// gate skips or a stopped run did before its restart).
void MarkSignedFailure(PlannedItem* item);

// Judges what "signed" and "sensitive" guard: the item's file and its
// signature, and its parameters.
void PlanItemSecurity(PlannedItem* item);
// Warns about the item files and the security base that others may change,
// signatures, and parameters ("unsigned" only in a product that has an item
// with signed="1").
void AddSecurityWarnings(Plan* plan);
// The two attributes, where written, in the plan's text and JSON forms.
void WriteItemSecurityText(const PlannedItem& item, std::ostream& out);
void WriteItemSecurityJson(const PlannedItem& item, json::Writer& json);

// Adds every warning the plan calls for, in the order the tool shows them.
void AddPlanWarnings(const PlanOptions& options, Plan* plan);
