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

std::wstring StartProblem(const PlannedItem& item) {
  if (item.refusal == ShellOpenRefusal::kPathTooLong) {
    return L"the path is longer than 260 characters";
  }
  if (item.arguments_too_long) return AnsiToWide(kParametersTooLong);
  if (!item.can_start) {
    return L"this account cannot start it, " + AnsiToWide(platform::ErrorText(item.start_error));
  }
  return std::wstring();
}

namespace {

void PlanExeItem(bool system_account, PlannedItem* item) {
  item->gate = DecideSystemGate(item->system_requirement, system_account);
  if (item->installer_wait_seconds > 0) item->installer_busy = platform::InstallerBusy();
  item->refusal = CheckShellOpenFile(item->path.c_str());
  const auto can_start =
      item->signed_item ? platform::CanStartOpenedProgram : platform::CanStartProgram;
  item->can_start =
      item->refusal == ShellOpenRefusal::kNone && can_start(item->path, &item->start_error);
  // The run's start asks the same before it tries.
  if (item->can_start &&
      !platform::ArgumentsWithinLimit(item->path, item->parameters, &item->start_error)) {
    item->can_start = false;
    item->arguments_too_long = true;
  }
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
      item->library = platform::FindExport(library, item->entry.c_str()) != nullptr
                          ? LibraryCheck::kLoads
                          : LibraryCheck::kNoEntry;
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
  return item;
}

// A signed item the run takes up and cannot run as it was checked fails the
// run with error code 52, whatever it would have done unsigned; one that a
// condition passes over or fails is never opened, and one whose if_program
// the plan does not start fails only if the program lets it run.
void MarkSignedFailure(PlannedItem* item) {
  if (!item->signed_item || item->kind == ItemKind::kSkipped || item->gate != SystemGate::kRun ||
      item->done_before_restart || item->outcome == ItemOutcome::kSkipped ||
      item->outcome == ItemOutcome::kFails) {
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
