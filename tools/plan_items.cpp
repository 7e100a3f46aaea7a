// Planning one item: what the runner would read of it and make of it.
#include <cstdlib>

#include "CallPlugins/ItemRules.h"
#include "CallPlugins/ItemSecurity.h"
#include "Platform/platform.h"
#include "Platform/process.h"
#include "Utils/PathUtils.h"
#include "tools/plan_parts.h"
#include "tools/plan_restart.h"

std::wstring StartProblem(const PlannedItem& item) {
  if (item.refusal == ShellOpenRefusal::kPathTooLong) {
    return L"the path is longer than 260 characters";
  }
  if (!item.can_start) {
    return L"this account cannot start it, " + AnsiToWide(platform::ErrorText(item.start_error));
  }
  return std::wstring();
}

namespace {

// Reads the pieces of an exit-code list as the runner reads them.
std::vector<ExpectedCode> ReadCodes(const std::vector<std::string>& pieces) {
  std::vector<ExpectedCode> codes;
  for (const std::string& piece : pieces) {
    ExpectedCode code;
    code.text = piece;
    code.value = ParseExpectedCode(piece, &code.exact);
    codes.push_back(code);
  }
  return codes;
}

void PlanExeItem(ILwBundle* bundle, bool system_account, PlannedItem* item) {
  item->wait_for_exit = ReadWaitForExit(bundle);
  item->supervision = DecideSupervision(item->wait_for_exit, item->timeout, item->log_output);
  if (item->supervision.capture_output && !platform::CanCaptureOutput(item->facts.file_path)) {
    item->supervision.capture_output = false;
  }
  item->gate = DecideSystemGate(item->system, system_account);
  item->refusal = CheckShellOpenFile(item->facts.file_path.c_str());
  const auto can_start =
      item->signed_item ? platform::CanStartOpenedProgram : platform::CanStartProgram;
  item->can_start = item->refusal == ShellOpenRefusal::kNone &&
                    can_start(item->facts.file_path, &item->start_error);
  if (item->signed_item && IsAcceptedVerdict(item->verdict) && item->signed_problem.empty() &&
      item->refusal != ShellOpenRefusal::kMissing && !item->can_start) {
    item->signed_problem = L"cannot be started as checked (" + StartProblem(*item) + L")";
  }
  item->codes = ReadCodes(item->facts.expected_codes);

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

void* LoadSigned(const ItemFacts& facts, uint32_t* error) {
  platform::ReadOnlyFile file;
  std::string source;
  *error = 0;
  if (!file.Open(facts.file_path) || !IsAcceptedVerdict(ReadOpenSignatureVerdict(file)) ||
      JudgeSignedContent(facts, ItemKind::kSimpleDll, file, &source) !=
          SignedContentProblem::kNone) {
    return nullptr;
  }
  return platform::LoadOpenedLibrary(
      file, facts.file_path, platform::DependencySearch::kSystemOnly, error);
}

void PlanLibraryItem(ILwBundle* bundle, bool load, PlannedItem* item) {
  item->entry = ReadItemAttribute(bundle, "entry");
  if (!item->file_exists) {
    item->outcome = ItemOutcome::kDoesNothing;
    item->why = L"the library does not exist";
    return;
  }
  if (load && (!item->signed_item || LoadsSigned(*item))) {
    // The library stays loaded, as in a run; its entry is looked up, never called.
    void* library = item->signed_item
                        ? LoadSigned(item->facts, &item->load_error)
                        : platform::LoadLibraryFile(item->facts.file_path, &item->load_error);
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
  item.key = key;
  item.facts = ReadItemFacts(bundle, run.product_folder());
  item.kind = ItemKindOf(item.facts.type);
  item.system = ReadItemAttribute(bundle, "system");
  item.timeout = ReadItemAttribute(bundle, "timeout");
  item.log_output = ReadItemAttribute(bundle, "log_output");
  item.reboot_exitcode = ReadItemAttribute(bundle, "reboot_exitcode");
  item.reboot_codes = ReadCodes(SplitText(item.reboot_exitcode, ";"));
  item.file_exists = platform::PathExists(item.facts.file_path);
  PlanItemSecurity(bundle, &item);
  switch (item.kind) {
    case ItemKind::kExe:
      PlanExeItem(bundle, run.account.system, &item);
      break;
    case ItemKind::kSimpleDll:
      PlanLibraryItem(bundle, options.load_libraries, &item);
      break;
    case ItemKind::kSkipped:
      item.outcome = ItemOutcome::kSkipped;
      item.why = item.facts.type.empty() ? std::wstring(L"no type")
                                         : L"type " + Quoted(item.facts.type) +
                                               L" is neither \"Exe\" nor \"SimpleDll\"";
      break;
  }
  PlanExitClasses(bundle, &item);
  return item;
}
