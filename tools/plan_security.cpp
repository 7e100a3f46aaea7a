// What the plan tells of the item attributes that guard what an item runs
// and what the records show: "signed", "sensitive", and the files and
// parameters that others could turn against the run.
#include "CallPlugins/ItemSecurity.h"
#include "Platform/files/files.h"
#include "Platform/system/system.h"
#include "Signing/CommandScript.h"
#include "Utils/FileUtils.h"
#include "Utils/PathUtils.h"
#include "Utils/ProgramSearch.h"
#include "Utils/SignatureVerdicts.h"
#include "tools/plan_conditions.h"
#include "tools/plan_parts.h"

void PlanItemSecurity(PlannedItem* item) {
  item->unquoted_productpath = item->kind == ItemKind::kExe &&
                               signing::IsCommandScriptName(item->file) &&
                               HasUnquotedProductPath(item->param);
  if (item->kind == ItemKind::kSkipped) return;
  // Reading never blocks: only a regular file is opened.
  platform::ReadOnlyFile file;
  if (file.Open(item->path)) item->verdict = ReadOpenSignatureVerdict(file);
  item->writable_by_others = platform::OthersMayChangePath(item->path);
  if (!item->signed_item || !IsAcceptedVerdict(item->verdict)) return;
  std::string source;
  switch (JudgeSignedContent(*item, file, &source)) {
    case SignedContentProblem::kNone:
      break;
    case SignedContentProblem::kScriptRunsOn:
      item->signed_problem =
          L"does not end before its signature block: its last line that is not blank must be "
          L"exit or goto :eof, followed by a line break";
      break;
    case SignedContentProblem::kUncheckedLibraries:
      item->signed_problem =
          L"may load libraries from outside the system folders (" + Quoted(source) + L")";
      break;
    case SignedContentProblem::kUncheckedProgram:
      item->signed_problem =
          L"may run code from outside the system folders (" + Quoted(source) + L")";
      break;
  }
  // Where the run looks for a signed library's imports in the system folder
  // alone, one it does not hold keeps the library from loading.
  const std::string missing = item->kind == ItemKind::kSimpleDll && item->signed_problem.empty()
                                  ? ImportMissingFromSystemFolder(file)
                                  : std::string();
  if (!missing.empty()) {
    item->signed_problem = L"needs a library the system folder does not hold (" + Quoted(missing) +
                           L"), and the run looks for its libraries there alone";
  }
}

namespace {

void Add(std::vector<PlanWarning>* warnings, const char* code, const std::wstring& text) {
  warnings->push_back({code, text});
}

// A value other than "1" turns nothing on.
void WarnAboutValues(const std::wstring& where, const PlannedItem& item,
                     std::vector<PlanWarning>* warnings) {
  if (!item.signed_text.empty() && item.signed_text != "1") {
    Add(warnings,
        "signed-unused",
        where + L": signed=" + Quoted(item.signed_text) +
            L" is not \"1\", so the file is started without a signature check");
  }
  if (item.sensitive_text.empty()) return;
  if (item.kind == ItemKind::kSimpleDll) {
    Add(warnings,
        "sensitive-unused",
        where + L": sensitive=" + Quoted(item.sensitive_text) +
            L" has no effect on a library item, which takes no parameters");
  } else if (item.sensitive_text != "1") {
    Add(warnings,
        "sensitive-unused",
        where + L": sensitive=" + Quoted(item.sensitive_text) +
            L" is not \"1\", so the parameters are shown in the log, the result file and the "
            L"report");
  }
}

}  // namespace

namespace {

// Who may change what a condition looks at decides whether the item runs; who
// may change if_program's program runs code with the rights of the run.
void AddConditionWarnings(const std::wstring& where, const ItemConditions& conditions,
                          std::vector<PlanWarning>* warnings) {
  const std::wstring above = L", or a folder above it, can be changed by other accounts: ";
  const struct {
    const wchar_t* attribute;
    const std::wstring& path;
  } paths[] = {{L"creates", conditions.creates_path},
               {L"if_exists", conditions.if_exists_path},
               {L"unless_exists", conditions.unless_exists_path}};
  for (const auto& condition : paths) {
    if (condition.path.empty() || !platform::OthersMayChangePath(condition.path)) continue;
    Add(warnings,
        "condition-writable-by-others",
        where + L": " + condition.path + L", the path of " + condition.attribute + above +
            L"they can make the item run or be passed over");
  }
  if (!conditions.program_path.empty() && platform::OthersMayChangePath(conditions.program_path)) {
    Add(warnings,
        "condition-writable-by-others",
        where + L": " + conditions.program_path + L", the program of if_program" + above +
            L"what they put there runs with the rights of the run and decides whether the item "
            L"runs");
  }
}

// The signature warnings of an item the run opens: a condition or as_user
// that passes it over or fails it comes first.
void AddSignatureWarnings(const std::wstring& where, const PlannedItem& item, bool signing,
                          std::vector<PlanWarning>* warnings) {
  if (ConditionDecides(item) || item.planned_as_user.decides) return;
  const std::wstring fails =
      item.fails_if_run
          ? L": the run fails this item with error code 52 if its if_program lets it run"
          : L": the run fails this item with error code 52";
  const bool verifies = IsAcceptedVerdict(item.verdict);
  if (item.signed_item && !verifies && item.file_exists) {
    Add(warnings,
        "signature-refused",
        where + L": signed=\"1\" and " + item.path + L" has signature verdict " +
            SignatureVerdictText(item.verdict) + fails);
  } else if (item.signed_item && !item.file_exists) {
    Add(warnings,
        "signature-refused",
        where + L": signed=\"1\" and " + item.path + L" does not exist" + fails);
  } else if (item.signed_item && !item.signed_problem.empty() && item.gate == SystemGate::kRun) {
    Add(warnings,
        "signed-cannot-run",
        where + L": signed=\"1\" and " + item.path + L" " + item.signed_problem + fails);
  } else if (signing && !item.signed_item && !verifies && item.file_exists) {
    Add(warnings,
        "unsigned",
        where + L": " + item.path + L" has signature verdict " +
            SignatureVerdictText(item.verdict) +
            L" and the item has no signed=\"1\": it runs unchecked");
  }
}

void AddItemSecurityWarnings(const std::wstring& where, const PlannedItem& item, bool signing,
                             std::vector<PlanWarning>* warnings) {
  if (item.kind == ItemKind::kSkipped) return;
  WarnAboutValues(where, item, warnings);
  if (item.writable_by_others) {
    Add(warnings,
        "writable-by-others",
        where + L": " + item.path +
            L", or a folder above it, can be changed by other accounts: what they put there "
            L"runs with the rights of the run");
  }
  AddConditionWarnings(where, item.conditions, warnings);
  AddSignatureWarnings(where, item, signing, warnings);
  if (item.unquoted_productpath) {
    Add(warnings,
        "unquoted-productpath",
        where +
            L": %productpath% stands unquoted in the param of a command script: a product "
            L"folder holding &, | or ^ splits its command line into more than one command");
  }
}

}  // namespace

namespace {

// The module folder, or else each module file and the module list: who may
// change them may add items, which run with the rights of the run.
void AddModuleWarnings(const Plan& plan, std::vector<PlanWarning>* warnings) {
  const std::wstring folder = platform::CombinePath(plan.product_folder, L"modularize");
  const std::wstring above = L", or a folder above it, can be changed by other accounts: ";
  if (platform::OthersMayChangePath(folder)) {
    Add(warnings,
        "writable-by-others",
        folder + L", the module folder" + above +
            L"a module file put there adds items that run with the rights of the run");
    return;
  }
  for (const ModuleEntry& module : plan.modules) {
    if (!platform::OthersMayChangePath(module.record.path)) continue;
    Add(warnings,
        "writable-by-others",
        module.record.path + L", a module file" + above +
            L"the items it declares run with the rights of the run");
  }
  const std::wstring list = platform::CombinePath(folder, L"module_config.dat");
  if (platform::OthersMayChangePath(list)) {
    Add(warnings,
        "writable-by-others",
        list + L", the module list" + above + L"it decides which module files run");
  }
}

}  // namespace

void AddSecurityWarnings(Plan* plan) {
  bool signing = false;
  for (const PlannedPhase& phase : plan->phases) {
    for (const PlannedItem& item : phase.items) signing = signing || item.signed_item;
  }
  std::vector<PlanWarning>* warnings = &plan->warnings;
  for (const PlannedPhase& phase : plan->phases) {
    for (const PlannedItem& item : phase.items) {
      AddItemSecurityWarnings(L"phase " + AnsiToWide(phase.name) + L", key " +
                                  AnsiToWide(item.key) + L" (" + FileName(item.module_file) + L")",
                              item,
                              signing,
                              warnings);
    }
  }
  if (plan->security_base.present && platform::OthersMayChangePath(plan->security_base.path)) {
    Add(warnings,
        "writable-by-others",
        plan->security_base.path +
            L", the security base, or a folder above it, can be changed by other accounts: a "
            L"library put there is loaded into the run");
  }
  AddModuleWarnings(*plan, warnings);
}

void WriteItemSecurityText(const PlannedItem& item, std::ostream& out) {
  // Shown where written, so a plan of a product without them reads as before.
  if (!item.signed_text.empty()) {
    out << "    signed: " << WideToAnsi(Quoted(item.signed_text))
        << (item.signed_item ? " (checked before the start: verdict " +
                                   WideToAnsi(SignatureVerdictText(item.verdict)) + ")"
                             : std::string(" (not used)"))
        << "\n";
  }
  if (!item.sensitive_text.empty()) {
    out << "    sensitive: " << WideToAnsi(Quoted(item.sensitive_text))
        << (item.sensitive ? " (parameters hidden)" : " (not used)") << "\n";
  }
}

void WriteItemSecurityJson(const PlannedItem& item, json::Writer& json) {
  if (!item.signed_text.empty()) {
    json::Member(json, "signed", AnsiToUtf8(item.signed_text.c_str()));
    json::Member(json, "signature_checked", item.signed_item);
    json::Member(json, "signature_verdict", static_cast<int>(item.verdict));
  }
  // An item that fails only if its if_program lets it run (signed="1",
  // as_user): the code.
  if (item.fails_if_run) json::Member(json, "fails_if_it_runs", static_cast<int>(item.fail_code));
  if (!item.sensitive_text.empty()) {
    json::Member(json, "sensitive", AnsiToUtf8(item.sensitive_text.c_str()));
    json::Member(json, "parameters_hidden", item.sensitive);
  }
}
