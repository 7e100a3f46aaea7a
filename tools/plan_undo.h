// The plan's view of undo: each item's undo judged as the run would start or
// call it, the rollback a failure would make (in the order RollbackOrder, the
// run's own rule, gives), and what the plan warns about them. Private to
// tools/plan*.cpp.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "Utils/JsonText.h"
#include "tools/plan.h"

// Judges the item's undo program as the item's own program is judged: there,
// startable, changeable by others, and signed for a signed item.
void PlanUndo(PlannedItem* item);

// Whether an item of the product has an undo that is used.
bool UsesUndo(const Plan& plan);

// Works out plan->rollback: the failure of the item with key, or with an
// empty key the failure the plan predicts (shown only in a product that
// uses undo). Needs the plan's prediction.
void PlanRollback(const std::string& key, Plan* plan);

// Whether a failure of the run undoes something: *when_predicted tells
// whether the failure the plan predicts does.
bool RollbackCanRun(const Plan& plan, bool* when_predicted);

// The warnings of the item's undo: its program missing, not startable, not
// signed as a signed item needs, changeable by others; its entry not exported.
std::vector<PlanWarning> UndoWarnings(const std::wstring& where, const PlannedItem& item);
// Warns, in a product that uses undo, of each item the run starts or calls
// that has no undo while a later item can fail and its rollback reaches it.
void AddNoUndoWarnings(Plan* plan);

// What the undo runs: "program <path>, param: <parameters>" (hidden as the
// item's are) or "entry "<export>" of <library>".
std::wstring UndoTarget(const PlannedItem& item);

// The item's lines and members, where the attributes are written.
void WriteUndoText(const PlannedItem& item, std::ostream& out);
void WriteUndoJson(const PlannedItem& item, json::Writer& json);
// The rollback's part of the plan, when it is shown.
void WriteRollbackText(const Plan& plan, std::ostream& out);
void WriteRollbackJson(const Plan& plan, json::Writer& json);
