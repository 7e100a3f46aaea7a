// The rollback a failure would make, as the plan foresees it: the items the
// run comes to, in run order (which is the order they end), handed to
// RollbackOrder, the run's own rule of what is undone and in which order.
#include <algorithm>

#include "CallPlugins/Rollback.h"
#include "Platform/system/system.h"
#include "Utils/PathUtils.h"
#include "tools/plan_events.h"
#include "tools/plan_parts.h"
#include "tools/plan_report.h"
#include "tools/plan_undo.h"

namespace {

struct Planned {
  const PlannedItem* item;
  std::string phase;
};

// The items the run comes to, in run order.
std::vector<Planned> ReachedItems(const Plan& plan) {
  std::vector<Planned> items;
  for (const PlannedPhase& phase : plan.phases) {
    if (!phase.reached) continue;
    for (const PlannedItem& item : phase.items) {
      if (item.reached) items.push_back({&item, phase.name});
    }
  }
  return items;
}

// Whether the run starts the item's program or calls its entry: what it did
// is on the machine (an item done before the restart too).
bool ChangesTheMachine(const PlannedItem& item) {
  return item.done_before_restart || (item.outcome == ItemOutcome::kRuns && !item.fails_if_run);
}

// Whether the item can fail the run: it checks its result, has a time limit,
// must be signed or has an if_program, or the plan says it fails.
bool MayFail(const PlannedItem& item) {
  if (item.done_before_restart) return false;
  if (item.outcome == ItemOutcome::kFails || item.fails_if_run) return true;
  return item.outcome == ItemOutcome::kRuns &&
         (CanFail(item) || !item.conditions.program_path.empty());
}

// The items up to the failing one (items.size(): the run fails after them
// all) as they end; every_undo counts each item as if it had an undo.
std::vector<RollbackEntry> Ended(const std::vector<Planned>& items, size_t failing,
                                 bool every_undo) {
  std::vector<RollbackEntry> ended;
  for (size_t i = 0; i < items.size() && i <= failing; ++i) {
    const PlannedItem& item = *items[i].item;
    RollbackEntry entry;
    entry.has_undo = every_undo || item.undo.Any();
    entry.boundary = item.undo.boundary;
    if (i < failing) {
      // One that fails if it runs was passed over, or the run would fail there.
      entry.ended = ChangesTheMachine(item) ? EndedAs::kSucceeded : EndedAs::kOther;
    } else {
      entry.ended = ChangesTheMachine(item) ? EndedAs::kFailedAfterStart : EndedAs::kOther;
    }
    ended.push_back(entry);
  }
  return ended;
}

// Where the plan predicts the run fails: its failing item, or items.size()
// when it fails after them all (an empty phase).
size_t PredictedFailure(const std::vector<Planned>& items) {
  for (size_t i = 0; i < items.size(); ++i) {
    if (items[i].item->outcome == ItemOutcome::kFails) return i;
  }
  return items.size();
}

std::vector<std::string> Keys(const std::vector<Planned>& items, const std::vector<size_t>& order) {
  std::vector<std::string> keys;
  for (size_t i : order) keys.push_back(items[i].item->key);
  return keys;
}

const PlannedItem* FindItem(const Plan& plan, const std::string& key) {
  for (const PlannedPhase& phase : plan.phases) {
    for (const PlannedItem& item : phase.items) {
      if (item.key == key) return &item;
    }
  }
  return nullptr;
}

void Undone(const std::vector<Planned>& items, size_t failing, PlannedRollback* rollback) {
  const std::vector<RollbackEntry> ended = Ended(items, failing, false);
  const std::vector<size_t> order = RollbackOrder(ended, RollbackMode::kFailure);
  rollback->undone = Keys(items, order);
  // What the rollback would take back without its boundaries, and does not.
  for (size_t i : RollbackOrder(ended, RollbackMode::kOnRequest)) {
    if (std::find(order.begin(), order.end(), i) == order.end()) {
      rollback->kept.push_back(items[i].item->key);
    }
  }
}

}  // namespace

bool UsesUndo(const Plan& plan) {
  for (const PlannedPhase& phase : plan.phases) {
    for (const PlannedItem& item : phase.items) {
      if (item.undo.Any()) return true;
    }
  }
  return false;
}

void PlanRollback(const std::string& key, Plan* plan) {
  PlannedRollback& rollback = plan->rollback;
  rollback.requested = !key.empty();
  const std::vector<Planned> items = ReachedItems(*plan);
  if (!rollback.requested) {
    // The failure the plan predicts, in a product that uses undo.
    if (plan->predicts_success || !plan->catalogue_loaded || !UsesUndo(*plan)) return;
    const size_t failing = PredictedFailure(items);
    rollback.shown = rollback.found = rollback.can_fail = true;
    if (failing < items.size()) rollback.fail_at = items[failing].item->key;
    Undone(items, failing, &rollback);
    return;
  }
  rollback.shown = true;
  rollback.fail_at = key;
  const PlannedItem* item = FindItem(*plan, key);
  rollback.found = item != nullptr;
  if (item == nullptr) return;
  size_t failing = items.size();
  for (size_t i = 0; i < items.size(); ++i) {
    if (items[i].item == item) failing = i;
  }
  rollback.can_fail = failing < items.size() && !item->done_before_restart &&
                      (item->outcome == ItemOutcome::kRuns || item->outcome == ItemOutcome::kFails);
  if (!rollback.can_fail) {
    rollback.why_not = failing == items.size() && item->reached
                           ? std::wstring(L"not reached: the run fails before its phase")
                           : OutcomeText(*item);
    return;
  }
  rollback.started = ChangesTheMachine(*item);
  Undone(items, failing, &rollback);
}

bool RollbackCanRun(const Plan& plan, bool* when_predicted) {
  *when_predicted = false;
  if (!UsesUndo(plan) || !plan.catalogue_loaded) return false;
  const std::vector<Planned> items = ReachedItems(plan);
  if (!plan.predicts_success) {
    const size_t failing = PredictedFailure(items);
    *when_predicted = !RollbackOrder(Ended(items, failing, false), RollbackMode::kFailure).empty();
    if (*when_predicted) return true;
  }
  for (size_t c = 0; c < items.size(); ++c) {
    if (MayFail(*items[c].item) &&
        !RollbackOrder(Ended(items, c, false), RollbackMode::kFailure).empty()) {
      return true;
    }
  }
  return false;
}

void AddNoUndoWarnings(Plan* plan) {
  if (!UsesUndo(*plan)) return;
  const std::vector<Planned> items = ReachedItems(*plan);
  // For each item, the first later item whose failure rolls back to it.
  std::vector<std::string> failing_after(items.size());
  size_t pending = 0;
  for (const Planned& planned : items) {
    pending += ChangesTheMachine(*planned.item) && !planned.item->undo.Any() ? 1 : 0;
  }
  for (size_t c = 0; c < items.size() && pending > 0; ++c) {
    if (!MayFail(*items[c].item)) continue;
    for (size_t i : RollbackOrder(Ended(items, c, true), RollbackMode::kFailure)) {
      const PlannedItem& item = *items[i].item;
      if (i == c || !failing_after[i].empty() || item.undo.Any() || !ChangesTheMachine(item)) {
        continue;
      }
      failing_after[i] = items[c].item->key;
      --pending;
    }
  }
  for (size_t i = 0; i < items.size(); ++i) {
    if (failing_after[i].empty()) continue;
    const PlannedItem& item = *items[i].item;
    const std::wstring what = item.done_before_restart ? L"the item was done before the restart"
                              : item.kind == ItemKind::kSimpleDll
                                  ? L"the run calls the item's entry"
                                  : L"the run starts the item's program";
    plan->warnings.push_back(
        {"no-undo",
         L"phase " + AnsiToWide(items[i].phase) + L", key " + AnsiToWide(item.key) + L" (" +
             FileName(item.module_file) + L"): " + what + L" and it has no undo, while key " +
             AnsiToWide(failing_after[i]) +
             L" after it can fail: a rollback then leaves what this item did"});
  }
}

namespace {

std::string RollbackHeading(const PlannedRollback& rollback) {
  if (rollback.requested) {
    return "rollback if item " + rollback.fail_at + " fails (--fail-at=" + rollback.fail_at + ")";
  }
  if (rollback.fail_at.empty()) return "rollback when the run fails, as predicted";
  return "rollback when item " + rollback.fail_at + " fails, as predicted";
}

// What each undo runs, in the order the undos run; the failing item's own
// comes first.
std::vector<std::wstring> UndoLines(const Plan& plan) {
  const PlannedRollback& rollback = plan.rollback;
  std::vector<std::wstring> lines;
  for (const std::string& key : rollback.undone) {
    const PlannedItem* item = FindItem(plan, key);
    std::wstring line = item == nullptr ? std::wstring() : UndoTarget(*item);
    if (key == rollback.fail_at) line += L" (its own: the item was started)";
    lines.push_back(line);
  }
  return lines;
}

}  // namespace

void WriteRollbackText(const Plan& plan, std::ostream& out) {
  const PlannedRollback& rollback = plan.rollback;
  if (!rollback.shown) return;
  out << "\n" << RollbackHeading(rollback) << "\n";
  if (!rollback.found) {
    out << "  no item has key " << rollback.fail_at << "\n";
  } else if (!rollback.can_fail) {
    out << "  the run cannot fail there: " << WideToAnsi(rollback.why_not) << "\n";
  } else if (rollback.undone.empty()) {
    out << "  nothing is undone\n";
  }
  const std::vector<std::wstring> lines = UndoLines(plan);
  for (size_t i = 0; i < lines.size(); ++i) {
    out << "  " << i + 1 << ". key " << rollback.undone[i] << ": " << WideToAnsi(lines[i]) << "\n";
  }
  if (!rollback.kept.empty()) {
    out << "  kept done by a rollback_boundary: key(s) " << WideToAnsi(Joined(rollback.kept))
        << "\n";
  }
}

void WriteRollbackJson(const Plan& plan, json::Writer& json) {
  const PlannedRollback& rollback = plan.rollback;
  if (!rollback.shown) return;
  json.Key("rollback");
  json.StartObject();
  json::Member(json, "fail_at", rollback.fail_at);
  json::Member(json, "requested", rollback.requested);
  json::Member(json, "found", rollback.found);
  json::Member(json, "can_fail", rollback.can_fail);
  json::Member(json, "why_not", platform::WideToUtf8(rollback.why_not));
  json::Member(json, "started", rollback.started);
  json.Key("undone");
  json.StartArray();
  const std::vector<std::wstring> lines = UndoLines(plan);
  for (size_t i = 0; i < lines.size(); ++i) {
    json.StartObject();
    json::Member(json, "key", rollback.undone[i]);
    json::Member(json, "text", platform::WideToUtf8(lines[i]));
    json.EndObject();
  }
  json.EndArray();
  json.Key("kept");
  json.StartArray();
  for (const std::string& key : rollback.kept) json.String(key.c_str());
  json.EndArray();
  json.EndObject();
}
