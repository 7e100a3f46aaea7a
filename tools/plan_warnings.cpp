// The warnings of a plan: what a product author should look at before the run.
#include <algorithm>

#include "Platform/files/files.h"
#include "Platform/system/system.h"
#include "Utils/PathUtils.h"
#include "tools/plan_as_user.h"
#include "tools/plan_conditions.h"
#include "tools/plan_parts.h"
#include "tools/plan_restart.h"
#include "tools/plan_undo.h"
#include "tools/plan_unused.h"

namespace {

class WarningList {
 public:
  explicit WarningList(std::vector<PlanWarning>* warnings) : warnings_(warnings) {}
  void Add(const char* code, const std::wstring& text) { warnings_->push_back({code, text}); }

 private:
  std::vector<PlanWarning>* warnings_;
};

// Windows reads attribute values in the ANSI code page: UTF-8 text beyond
// ASCII there names other files than the author meant.
void WarnAboutModuleText(const std::wstring& path, WarningList* warnings) {
  const uint32_t code_page = platform::AnsiCodePage();
  std::string text;
  if (code_page == 0 || !platform::ReadFileText(path, &text)) return;
  const auto beyond = [](char c) { return static_cast<unsigned char>(c) >= 0x80; };
  if (std::find_if(text.begin(), text.end(), beyond) == text.end()) return;
  warnings->Add("module-file-not-ascii",
                FileName(path) +
                    L" holds bytes beyond ASCII, which Windows reads in the ANSI code page (" +
                    std::to_wstring(code_page) +
                    L"), not as UTF-8: a name written there in UTF-8 names another file");
}

void WarnAboutModules(const Plan& plan, WarningList* warnings) {
  for (const ModuleEntry& module : plan.modules) {
    const std::wstring name = FileName(module.record.path);
    switch (module.record.outcome) {
      case ModuleFileRecord::kNameTooShort:
        warnings->Add("module-file-ignored",
                      name +
                          L": no module name between \"mod_\" and the extension; the file is "
                          L"ignored");
        break;
      case ModuleFileRecord::kNotAdmitted:
        // A state other than "1" says "not installed" on purpose; every other
        // refusal is most likely a packaging mistake.
        if (module.judged && module.verdict.reason != ModuleVerdictReason::kStateNotOne) {
          warnings->Add("module-left-out",
                        name + L" is left out silently, " + VerdictText(module.verdict));
        }
        break;
      case ModuleFileRecord::kNoSetup:
        warnings->Add("module-file-unread",
                      name +
                          L" is admitted but gives no item: it is unreadable, empty, or has "
                          L"no root/module/setup");
        break;
      case ModuleFileRecord::kMissing:
      case ModuleFileRecord::kLoaded:
      case ModuleFileRecord::kParseFailed:
        break;
    }
    WarnAboutModuleText(module.record.path, warnings);
    if (module.record.dropped_items > 0) {
      warnings->Add("item-dropped",
                    name + L": " + std::to_wstring(module.record.dropped_items) +
                        L" item(s) without a \"file\" attribute are dropped");
    }
  }
}

// Warns about each piece of an exit-code list that reads as something else.
void WarnAboutMisreadCodes(const std::wstring& where, const std::string& attribute,
                           const std::vector<ExpectedCode>& codes, WarningList* warnings) {
  for (const ExpectedCode& code : codes) {
    if (code.exact) continue;
    warnings->Add("exitcode-misread",
                  where + L": the " + AnsiToWide(attribute) + L" piece " + Quoted(code.text) +
                      L" reads as " + std::to_wstring(code.value));
  }
}

// The unused attributes of the item's start, then, for a program, each
// piece of reboot_exitcode that reads as something else.
void WarnAboutSupervision(const std::wstring& where, const PlannedItem& item,
                          WarningList* warnings) {
  for (const PlanWarning& warning : UnusedWarnings(where, item, UnusedStage::kStart)) {
    warnings->Add(warning.code.c_str(), warning.text);
  }
  for (const PlanWarning& warning : UndoWarnings(where, item)) {
    warnings->Add(warning.code.c_str(), warning.text);
  }
  if (item.kind == ItemKind::kExe) {
    WarnAboutMisreadCodes(where, "reboot_exitcode", item.restart_codes, warnings);
  }
}

void WarnAboutExeItem(const std::wstring& where, const PlannedItem& item, bool system_account,
                      WarningList* warnings) {
  if (item.system == "1" || item.system == "0") {
    const std::wstring only = item.system == "1" ? L"only under the system account"
                                                 : L"only under accounts other than the system one";
    const std::wstring here =
        system_account ? L"this is the system account" : L"this is not the system account";
    const std::wstring fate =
        item.gate == SystemGate::kRun ? L"it runs here" : L"it is skipped here";
    warnings->Add("system-gate",
                  where + L": system=" + Quoted(item.system) + L" runs the item " + only + L"; " +
                      here + L", so " + fate);
  }
  WarnAboutSupervision(where, item, warnings);
  for (const PlanWarning& warning : RestartWarnings(where, item)) {
    warnings->Add(warning.code.c_str(), warning.text);
  }
  for (const PlanWarning& warning : ConditionWarnings(where, item)) {
    warnings->Add(warning.code.c_str(), warning.text);
  }
  for (const PlanWarning& warning : AsUserWarnings(where, item)) {
    warnings->Add(warning.code.c_str(), warning.text);
  }
  // A signed item that cannot start is not passed over: it fails, as
  // AddSecurityWarnings says.
  if (!item.signed_item && !item.file_exists) {
    warnings->Add("file-missing",
                  where + L": " + item.path + L" does not exist; the run passes over it");
  } else if (!item.signed_item && !item.can_start) {
    warnings->Add("cannot-start",
                  where + L": " + item.path + L" cannot be started (" + StartProblem(item) +
                      L"); the run passes over it");
  }
  if (!item.has_expectation) return;
  if (item.expected_codes.empty()) {
    warnings->Add("exitcode-no-code",
                  where + L": exitcode=" + Quoted(item.exitcode) +
                      L" holds no code, so every start of the program fails "
                      L"the run");
  }
  WarnAboutMisreadCodes(where, "exitcode", item.expected_codes, warnings);
  if (!item.wait) {
    warnings->Add("no-wait-expectation",
                  where +
                      L": the exit code is checked without waiting (wait_for_exit is not "
                      L"\"1\"), so a program that is still running reads as 259");
  }
}

void WarnAboutLibraryItem(const std::wstring& where, const PlannedItem& item,
                          WarningList* warnings) {
  WarnAboutSupervision(where, item, warnings);
  for (const PlanWarning& warning : RestartWarnings(where, item)) {
    warnings->Add(warning.code.c_str(), warning.text);
  }
  for (const PlanWarning& warning : ConditionWarnings(where, item)) {
    warnings->Add(warning.code.c_str(), warning.text);
  }
  if (item.system == "1" || item.system == "0") {
    warnings->Add("system-ignored",
                  where + L": system=" + Quoted(item.system) + L" has no effect on a library item");
  }
  // A signed library that does not load fails, as AddSecurityWarnings says.
  const bool fails_signed =
      item.signed_item && (!item.file_exists || item.library == LibraryCheck::kNoLoad);
  if (!fails_signed && !item.file_exists) {
    warnings->Add("file-missing",
                  where + L": " + item.path + L" does not exist; the run passes over it");
  } else if (!fails_signed && item.outcome == ItemOutcome::kDoesNothing) {
    warnings->Add("library-entry", where + L": " + item.why + L"; nothing is called");
  }
  if (!item.has_expectation) return;
  bool only_minus_one = !item.expected_codes.empty();
  for (const ExpectedCode& code : item.expected_codes) {
    only_minus_one = only_minus_one && code.value == kExpectedLibraryResult && code.exact;
  }
  if (!only_minus_one) {
    warnings->Add("library-expectation",
                  where + L": with exitcode=" + Quoted(item.exitcode) +
                      L" the entry must return -1; the listed codes are not consulted, so any "
                      L"other result fails the run");
  }
}

void WarnAboutPhases(const Plan& plan, WarningList* warnings) {
  for (const PlannedPhase& phase : plan.phases) {
    const std::wstring phase_name = AnsiToWide(phase.name);
    if (phase.reached && phase.items.empty()) {
      warnings->Add("empty-phase",
                    L"phase " + phase_name +
                        L" has no item: the run fails here and later phases do "
                        L"not run");
    }
    std::vector<std::string> keys;
    for (const PlannedItem& item : phase.items) keys.push_back(item.key);
    const std::vector<std::vector<std::string>> overtaken = KeysOvertaken(keys);
    for (size_t i = 0; i < phase.items.size(); ++i) {
      if (overtaken[i].empty()) continue;
      warnings->Add("key-order",
                    L"phase " + phase_name + L": key " + AnsiToWide(keys[i]) +
                        L" runs before key(s) " + Joined(overtaken[i]) +
                        L", which come earlier in the module files (keys compare "
                        L"as text)");
    }
    for (const PlannedItem& item : phase.items) {
      const std::wstring where = L"phase " + phase_name + L", key " + AnsiToWide(item.key) + L" (" +
                                 FileName(item.module_file) + L")";
      switch (item.kind) {
        case ItemKind::kExe:
          WarnAboutExeItem(where, item, plan.system_account, warnings);
          break;
        case ItemKind::kSimpleDll:
          WarnAboutLibraryItem(where, item, warnings);
          break;
        case ItemKind::kSkipped:
          warnings->Add("type-skipped",
                        where + L": " + item.why +
                            L" (compared exactly), so the item is skipped "
                            L"silently");
          break;
      }
    }
  }
}

}  // namespace

void AddPlanWarnings(const PlanOptions& options, Plan* plan_out) {
  const Plan& plan = *plan_out;
  WarningList list(&plan_out->warnings);
  if (!plan.catalogue_loaded) {
    list.Add("catalogue-failed",
             L"the module catalogue does not load (error code \"" + plan.error_code +
                 L"\", detail \"" + plan.error_detail + L"\"): the run fails before any phase");
  }
  WarnAboutModules(plan, &list);
  WarnAboutPhases(plan, &list);
  AddNoUndoWarnings(plan_out);
  AddSecurityWarnings(plan_out);
  if (!options.program_folder.empty() && platform::OthersMayWriteFolder(options.program_folder)) {
    list.Add("writable-by-others",
             options.program_folder +
                 L" holds Taverly and other accounts can write to it: a library or program "
                 L"planted there runs with the rights of the run");
  }
  if (plan.security_base.present && !plan.security_base.accepted) {
    list.Add("security-base-refused",
             plan.security_base.path + L" has signature verdict " +
                 SignatureVerdictText(plan.security_base.verdict) +
                 L": the run refuses it and goes on without it");
  }
}
