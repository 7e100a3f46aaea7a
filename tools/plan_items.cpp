// Planning one item: what the runner would read of it and make of it.
#include "CallPlugins/Item.h"
#include "CallPlugins/ItemSecurity.h"
#include "CallPlugins/ItemSteps.h"
#include "Platform/files/files.h"
#include "Platform/process/process.h"
#include "Platform/system/system.h"
#include "Platform/system/system_state.h"
#include "Utils/PathUtils.h"
#include "Utils/SignatureVerdicts.h"
#include "tools/plan_parts.h"
#include "tools/plan_restart.h"
#include "tools/plan_undo.h"

std::wstring StartProblem(const StartCheck& start) {
  if (start.refusal == ShellOpenRefusal::kPathTooLong) {
    return L"the path is longer than 260 characters";
  }
  if (start.arguments_too_long) return AnsiToWide(kParametersTooLong);
  if (!start.can_start) {
    return L"this account cannot start it, " + AnsiToWide(platform::ErrorText(start.start_error));
  }
  return std::wstring();
}

std::wstring StartProblem(const PlannedItem& item) {
  return StartProblem(
      StartCheck{item.refusal, item.can_start, item.start_error, item.arguments_too_long});
}

StartCheck CheckStart(const std::wstring& path, const std::wstring& parameters, bool signed_item) {
  StartCheck start;
  start.refusal = CheckShellOpenFile(path.c_str());
  const auto can_start = signed_item ? platform::CanStartOpenedProgram : platform::CanStartProgram;
  start.can_start = start.refusal == ShellOpenRefusal::kNone && can_start(path, &start.start_error);
  // The run's start asks the same before it tries.
  if (start.can_start && !platform::ArgumentsWithinLimit(path, parameters, &start.start_error)) {
    start.can_start = false;
    start.arguments_too_long = true;
  }
  return start;
}

namespace {

void PlanExeItem(bool system_account, PlannedItem* item) {
  item->gate = DecideSystemGate(item->system_requirement, system_account);
  if (item->installer_wait_seconds > 0) item->installer_busy = platform::InstallerBusy();
  const StartCheck start = CheckStart(item->path, item->parameters, item->signed_item);
  item->refusal = start.refusal;
  item->can_start = start.can_start;
  item->start_error = start.start_error;
  item->arguments_too_long = start.arguments_too_long;
  if (item->signed_item && IsAcceptedVerdict(item->verdict) && item->signed_problem.empty() &&
      item->refusal != ShellOpenRefusal::kMissing && !item->can_start) {
    item->signed_problem = L"cannot be started as checked (" + StartProblem(*item) + L")";
  }

  if (item->gate == SystemGate::kSkipNeedsSystem) {
    item->outcome = ItemOutcome::kSkipped;
    item->why = L"system=\"1\" and this is not the system account";
  } else if (item->gate == SystemGate::kSkipNeedsOtherAccount) {
    item->outcome = ItemOutcome::kSkipped;
    item->why = L"system=\"0\" and this is the system account";
  } else if (item->refusal == ShellOpenRefusal::kMissing) {
    item->outcome = ItemOutcome::kDoesNothing;
    item->why = L"the program does not exist";
  } else if (!item->can_start) {
    item->outcome = ItemOutcome::kDoesNothing;
    item->why = StartProblem(*item);
  }
}

// A signed library is loaded only as the run loads it: judged through the
// open file, and through it. Another file put at its name meanwhile is not
// loaded at all.
bool LoadsSigned(const PlannedItem& item) {
  return IsAcceptedVerdict(item.verdict) && item.signed_problem.empty();
}

void* LoadSigned(const Item& item, uint32_t* error) {
  platform::ReadOnlyFile file;
  std::string source;
  *error = 0;
  if (!file.Open(item.path) || !IsAcceptedVerdict(ReadOpenSignatureVerdict(file)) ||
      JudgeSignedContent(item, file, &source) != SignedContentProblem::kNone) {
    return nullptr;
  }
  return platform::LoadOpenedLibrary(
      file, item.path, platform::DependencySearch::kSystemOnly, error);
}

LibraryCheck ExportCheck(void* library, const std::string& entry) {
  return platform::FindExport(library, entry.c_str()) != nullptr ? LibraryCheck::kLoads
                                                                 : LibraryCheck::kNoEntry;
}

void PlanLibraryItem(bool load, PlannedItem* item) {
  if (!item->file_exists) {
    item->outcome = ItemOutcome::kDoesNothing;
    item->why = L"the library does not exist";
    return;
  }
  if (load && (!item->signed_item || LoadsSigned(*item))) {
    // The library stays loaded, as in a run; its entry is looked up, never called.
    void* library = item->signed_item ? LoadSigned(*item, &item->load_error)
                                      : platform::LoadLibraryFile(item->path, &item->load_error);
    if (library == nullptr) {
      item->library = LibraryCheck::kNoLoad;
      if (item->signed_item) {
        item->signed_problem =
            L"does not load as checked (error " + std::to_wstring(item->load_error) + L")";
      }
    } else {
      item->library = ExportCheck(library, item->entry);
    }
    // The undo entry is looked up in the same library, never called.
    if (!item->undo.entry.empty()) {
      item->planned_undo.entry =
          library == nullptr ? LibraryCheck::kNoLoad : ExportCheck(library, item->undo.entry);
    }
  }
  if (item->library == LibraryCheck::kNoLoad) {
    item->outcome = ItemOutcome::kDoesNothing;
    item->why = L"the library does not load (error " + std::to_wstring(item->load_error) + L")";
  } else if (item->entry.empty()) {
    item->outcome = ItemOutcome::kDoesNothing;
    item->why = L"no entry is named";
  } else if (item->library == LibraryCheck::kNoEntry) {
    item->outcome = ItemOutcome::kDoesNothing;
    item->why = L"the library exports no " + Quoted(item->entry);
  }
}

}  // namespace

PlannedItem PlanItem(const std::string& key, ILwBundle* bundle, const RunContext& run,
                     const PlanOptions& options) {
  PlannedItem item;
  static_cast<Item&>(item) = ParseItem(bundle, run.product_folder());
  item.key = key;
  item.file_exists = platform::PathExists(item.path);
  PlanItemSecurity(&item);
  switch (item.kind) {
    case ItemKind::kExe:
      PlanExeItem(run.account.system, &item);
      break;
    case ItemKind::kSimpleDll:
      PlanLibraryItem(options.load_libraries, &item);
      break;
    case ItemKind::kSkipped:
      item.outcome = ItemOutcome::kSkipped;
      item.why = item.type.empty()
                     ? std::wstring(L"no type")
                     : L"type " + Quoted(item.type) + L" is neither \"Exe\" nor \"SimpleDll\"";
      break;
  }
  PlanExitClasses(&item);
  PlanUndo(&item);
  return item;
}

// A signed item the run takes up and cannot run as it was checked fails the
// run with error code 52, whatever it would have done unsigned; one that a
// condition passes over or fails is never opened, and one whose if_program
// the plan does not start fails only if the program lets it run (and one
// that as_user fails then fails there first).
void MarkSignedFailure(PlannedItem* item) {
  if (!item->signed_item || item->kind == ItemKind::kSkipped || item->gate != SystemGate::kRun ||
      item->done_before_restart || item->outcome == ItemOutcome::kSkipped ||
      item->outcome == ItemOutcome::kFails || item->fails_if_run) {
    return;
  }
  if (!item->file_exists) {
    item->why = L"signed=\"1\" and the file does not exist";
  } else if (!IsAcceptedVerdict(item->verdict)) {
    item->why = L"signed=\"1\" and its signature verdict is " + SignatureVerdictText(item->verdict);
  } else if (!item->signed_problem.empty()) {
    item->why = L"signed=\"1\" and the file " + item->signed_problem;
  } else {
    return;
  }
  const bool program_decides = item->conditions_judged &&
                               item->conditions_verdict.outcome == ConditionOutcome::kProgramNotRun;
  item->fails_if_run = program_decides;
  if (!program_decides) item->outcome = ItemOutcome::kFails;
}
