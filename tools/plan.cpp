#include "tools/plan.h"

#include <cstdlib>
#include <map>
#include <memory>

#include "App/Elevate.h"
#include "CallPlugins/InstallErrorRecord.h"
#include "CmdParser/CommandParser.h"
#include "Platform/platform.h"
#include "Platform/process.h"
#include "Utils/LogText.h"
#include "Utils/PathUtils.h"

namespace {

std::wstring Wide(const std::string& narrow) { return AnsiToWide(narrow); }
// Attribute text as written, its control bytes escaped as in the log.
std::wstring Quoted(const std::string& narrow) {
  return L"\"" + Wide(EscapedLogText(narrow)) + L"\"";
}

std::wstring Joined(const std::vector<std::string>& parts) {
  std::wstring text;
  for (const std::string& part : parts) text += (text.empty() ? L"" : L", ") + Wide(part);
  return text;
}

void PlanSecurityBase(const std::wstring& product_folder, SecurityBaseEntry* plan) {
  plan->path = SecurityBasePath(product_folder);
  plan->present = platform::PathExists(plan->path);
  if (!plan->present) return;
  plan->verdict = ReadSignatureVerdict(plan->path.c_str());
  plan->accepted = IsAcceptedVerdict(plan->verdict);
}

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

// Why a program that exists cannot be started; empty when it can.
std::wstring StartProblem(const PlannedItem& item) {
  if (item.refusal == ShellOpenRefusal::kPathTooLong) {
    return L"the path is longer than 260 characters";
  }
  if (!item.can_start) {
    return L"this account cannot start it, " + AnsiToWide(platform::ErrorText(item.start_error));
  }
  return std::wstring();
}

void PlanExeItem(ILwBundle* bundle, PlannedItem* item) {
  item->wait_for_exit = ReadWaitForExit(bundle);
  item->supervision = DecideSupervision(item->wait_for_exit, item->timeout, item->log_output);
  if (item->supervision.capture_output && !platform::CanCaptureOutput(item->facts.file_path)) {
    item->supervision.capture_output = false;
  }
  item->gate = DecideSystemGate(item->system, IsSystemAccount);
  item->refusal = CheckShellOpenFile(item->facts.file_path.c_str());
  item->can_start = item->refusal == ShellOpenRefusal::kNone &&
                    platform::CanStartProgram(item->facts.file_path, &item->start_error);
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

void PlanLibraryItem(ILwBundle* bundle, bool load, PlannedItem* item) {
  item->entry = ReadItemAttribute(bundle, "entry");
  if (!item->file_exists) {
    item->outcome = ItemOutcome::kDoesNothing;
    item->why = L"the library does not exist";
    return;
  }
  if (load) {
    // The library stays loaded, as in a run; its entry is looked up, never called.
    void* library = platform::LoadLibraryFile(item->facts.file_path, &item->load_error);
    if (library == nullptr) {
      item->library = LibraryCheck::kNoLoad;
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

PlannedItem PlanItem(const std::string& key, ILwBundle* bundle, const std::wstring& product_folder,
                     const PlanOptions& options) {
  PlannedItem item;
  item.key = key;
  item.facts = ReadItemFacts(bundle, product_folder);
  item.kind = ItemKindOf(item.facts.type);
  item.system = ReadItemAttribute(bundle, "system");
  item.timeout = ReadItemAttribute(bundle, "timeout");
  item.log_output = ReadItemAttribute(bundle, "log_output");
  item.reboot_exitcode = ReadItemAttribute(bundle, "reboot_exitcode");
  item.reboot_codes = ReadCodes(SplitText(item.reboot_exitcode, ";"));
  item.file_exists = platform::PathExists(item.facts.file_path);
  switch (item.kind) {
    case ItemKind::kExe:
      PlanExeItem(bundle, &item);
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
  return item;
}

class WarningList {
 public:
  explicit WarningList(std::vector<PlanWarning>* warnings) : warnings_(warnings) {}
  void Add(const char* code, const std::wstring& text) { warnings_->push_back({code, text}); }

 private:
  std::vector<PlanWarning>* warnings_;
};

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
                  where + L": the " + Wide(attribute) + L" piece " + Quoted(code.text) +
                      L" reads as " + std::to_wstring(code.value));
  }
}

void WarnAboutSupervision(const std::wstring& where, const PlannedItem& item,
                          WarningList* warnings) {
  const std::wstring timeout = L"timeout=" + Quoted(item.timeout);
  const std::wstring log_output = L"log_output=" + Quoted(item.log_output);
  if (item.kind == ItemKind::kSimpleDll) {
    const std::wstring why =
        L" has no effect on a library item: a call inside the program can be "
        L"neither ended nor captured";
    if (!item.timeout.empty()) warnings->Add("timeout-unused", where + L": " + timeout + why);
    if (!item.reboot_exitcode.empty()) {
      warnings->Add("reboot-exitcode-unused",
                    where + L": reboot_exitcode=" + Quoted(item.reboot_exitcode) +
                        L" has no effect on a library item: only a program's exit code can ask "
                        L"for a restart");
    }
    if (!item.log_output.empty()) {
      warnings->Add("log-output-unused", where + L": " + log_output + why);
    }
    return;
  }
  if (item.supervision.timeout_unused) {
    uint32_t seconds = 0;
    warnings->Add("timeout-unused",
                  where + L": " + timeout +
                      (!ParseTimeoutSeconds(item.timeout, &seconds)
                           ? L" is not a whole number of seconds from 1 to " +
                                 std::to_wstring(kLongestTimeout)
                           : std::wstring(L" has no effect: the item is not waited for "
                                          L"(wait_for_exit is not \"1\")")) +
                      L", so the item runs without a time limit");
  }
  if (!item.reboot_exitcode.empty() && !item.wait_for_exit) {
    warnings->Add("reboot-exitcode-unused",
                  where + L": reboot_exitcode=" + Quoted(item.reboot_exitcode) +
                      L" has no effect: the item is not waited for (wait_for_exit is not \"1\")");
  }
  WarnAboutMisreadCodes(where, "reboot_exitcode", item.reboot_codes, warnings);
  if (item.supervision.capture_unused) {
    warnings->Add("log-output-unused",
                  where + L": " + log_output +
                      L" has no effect: the item is not waited for (wait_for_exit is not \"1\")");
  } else if (item.log_output == "1" && !item.supervision.capture_output) {
    warnings->Add("log-output-unused",
                  where + L": " + log_output + L" cannot capture " +
                      FileName(item.facts.file_path) +
                      L": only programs and command scripts have output to capture here");
  } else if (!item.log_output.empty() && item.log_output != "1" && item.log_output != "0") {
    warnings->Add("log-output-unused",
                  where + L": " + log_output + L" is not \"1\", so the output is not logged");
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
  if (!item.file_exists) {
    warnings->Add(
        "file-missing",
        where + L": " + item.facts.file_path + L" does not exist; the run passes over it silently");
  } else if (!item.can_start) {
    warnings->Add("cannot-start",
                  where + L": " + item.facts.file_path + L" cannot be started (" +
                      StartProblem(item) + L"); the run passes over it silently");
  }
  if (!item.facts.has_expectation) return;
  if (item.codes.empty()) {
    warnings->Add("exitcode-no-code",
                  where + L": exitcode=" + Quoted(item.facts.exit_codes) +
                      L" holds no code, so every start of the program fails "
                      L"the run");
  }
  WarnAboutMisreadCodes(where, "exitcode", item.codes, warnings);
  if (!item.wait_for_exit) {
    warnings->Add("no-wait-expectation",
                  where +
                      L": the exit code is checked without waiting (wait_for_exit is not "
                      L"\"1\"), so a program that is still running reads as 259");
  }
}

void WarnAboutLibraryItem(const std::wstring& where, const PlannedItem& item,
                          WarningList* warnings) {
  WarnAboutSupervision(where, item, warnings);
  if (item.system == "1" || item.system == "0") {
    warnings->Add("system-ignored",
                  where + L": system=" + Quoted(item.system) + L" has no effect on a library item");
  }
  if (!item.file_exists) {
    warnings->Add(
        "file-missing",
        where + L": " + item.facts.file_path + L" does not exist; the run passes over it");
  } else if (item.outcome == ItemOutcome::kDoesNothing) {
    warnings->Add("library-entry", where + L": " + item.why + L"; nothing is called");
  }
  if (!item.facts.has_expectation) return;
  bool only_minus_one = !item.facts.expected_codes.empty();
  for (const std::string& piece : item.facts.expected_codes) {
    bool exact = false;
    only_minus_one =
        only_minus_one && ParseExpectedCode(piece, &exact) == kExpectedLibraryResult && exact;
  }
  if (!only_minus_one) {
    warnings->Add("library-expectation",
                  where + L": with exitcode=" + Quoted(item.facts.exit_codes) +
                      L" the entry must return -1; the listed codes are not consulted, so any "
                      L"other result fails the run");
  }
}

void WarnAboutPhases(const Plan& plan, WarningList* warnings) {
  for (const PlannedPhase& phase : plan.phases) {
    const std::wstring phase_name = Wide(phase.name);
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
                    L"phase " + phase_name + L": key " + Wide(keys[i]) + L" runs before key(s) " +
                        Joined(overtaken[i]) +
                        L", which come earlier in the module files (keys compare "
                        L"as text)");
    }
    for (const PlannedItem& item : phase.items) {
      const std::wstring where = L"phase " + phase_name + L", key " + Wide(item.key) + L" (" +
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

std::wstring FileName(const std::wstring& path) {
  const size_t separator = path.find_last_of(platform::kPathSeparator);
  return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

std::vector<std::vector<std::string>> KeysOvertaken(const std::vector<std::string>& run_order) {
  std::vector<unsigned long long> numbers;
  for (const std::string& key : run_order)
    numbers.push_back(std::strtoull(key.c_str(), nullptr, 10));
  std::vector<std::vector<std::string>> overtaken(run_order.size());
  for (size_t i = 0; i < run_order.size(); ++i) {
    for (size_t j = i + 1; j < run_order.size(); ++j) {
      if (numbers[j] < numbers[i]) overtaken[i].push_back(run_order[j]);
    }
  }
  return overtaken;
}

std::wstring VerdictText(const ModuleVerdict& verdict) {
  const std::wstring name = Quoted(verdict.module_name);
  switch (verdict.reason) {
    case ModuleVerdictReason::kInstalled:
      return L"admitted: " + name + L" has state \"1\"";
    case ModuleVerdictReason::kNoModuleFile:
      return L"not admitted: the module file is gone";
    case ModuleVerdictReason::kNoConfig:
      return L"not admitted: " + verdict.config_path +
             L" is missing, so no module counts as installed";
    case ModuleVerdictReason::kConfigUnparsable:
      return L"not admitted: " + verdict.config_path + L" does not parse (parse error " +
             std::to_wstring(verdict.parse_error) + L")";
    case ModuleVerdictReason::kConfigMisshapen:
      return L"not admitted: " + verdict.config_path + L" has no \"module_info\" object";
    case ModuleVerdictReason::kNotListed:
      return L"not admitted: " + name + L" is not listed under \"module_info\"";
    case ModuleVerdictReason::kEntryNotObject:
      return L"not admitted: the entry of " + name + L" is not an object";
    case ModuleVerdictReason::kNoState:
      return L"not admitted: " + name + L" has no \"state\"";
    case ModuleVerdictReason::kStateNotString:
      return L"not admitted: the \"state\" of " + name + L" is not a string";
    case ModuleVerdictReason::kStateNotOne:
      return L"not admitted: " + name + L" has state " + Quoted(verdict.state) + L", not \"1\"";
  }
  return std::wstring();
}

std::wstring ModuleText(const ModuleEntry& module) {
  const ModuleFileRecord& record = module.record;
  const std::wstring verdict = module.judged ? VerdictText(module.verdict) : L"not admitted";
  switch (record.outcome) {
    case ModuleFileRecord::kNameTooShort:
      return L"ignored: no module name between \"mod_\" and the extension";
    case ModuleFileRecord::kMissing:
      return L"vanished after the search: the catalogue fails here";
    case ModuleFileRecord::kNotAdmitted:
      return verdict;
    case ModuleFileRecord::kNoSetup:
      return verdict + L"; gives no item (unreadable, empty, or no root/module/setup)";
    case ModuleFileRecord::kParseFailed:
      return (module.judged ? verdict + L"; " : std::wstring()) +
             L"does not parse: the catalogue fails here";
    case ModuleFileRecord::kLoaded:
      break;
  }
  std::wstring text = verdict;
  if (record.item_keys.empty()) {
    text += L"; holds no item";
  } else {
    text += (record.item_keys.size() == 1 ? L"; key " : L"; keys ") + Joined(record.item_keys);
  }
  if (record.dropped_items > 0) {
    text += L"; " + std::to_wstring(record.dropped_items) + L" item(s) without \"file\" dropped";
  }
  return text;
}

std::wstring SignatureVerdictText(signing::Verdict verdict) {
  switch (verdict) {
    case signing::kNotSigned:
      return L"0 (not signed)";
    case signing::kContentChanged:
      return L"1 (signed, but changed since)";
    case signing::kValidKey0:
      return L"2 (valid with key 0)";
    case signing::kValidKey1:
      return L"3 (valid with key 1)";
  }
  return std::to_wstring(static_cast<int>(verdict));
}

Plan BuildPlan(const PlanOptions& options) {
  Plan plan;
  plan.product_folder = ProductFolderOf(GetInstallPath());
  plan.system_account = IsSystemAccount();
  plan.libraries_loaded = options.load_libraries;
  PlanSecurityBase(plan.product_folder, &plan.security_base);

  // The record belongs to this process alone; start it clean so that what it
  // holds afterwards is what the catalogue put there.
  GetInstallErrorRecord() = InstallErrorRecord();
  auto verdicts = std::make_shared<VerdictRecorder>(false);
  ModXmlLoader loader(plan.product_folder, verdicts);
  plan.catalogue_loaded = loader.LoadModules();
  plan.error_code = GetInstallErrorRecord().errorCode;
  plan.error_detail = GetInstallErrorRecord().errorDetail;
  std::map<std::string, size_t> module_of_key;
  plan.modules = verdicts->Modules(loader, &module_of_key);

  bool reached = plan.catalogue_loaded;
  std::string empty_phase;
  for (const PhaseRule& rule : kPhaseRules) {
    PlannedPhase phase;
    phase.name = rule.element;
    phase.reached = reached;
    for (const auto& entry : (loader.*rule.items)()) {
      PlannedItem item = PlanItem(entry.first, entry.second, plan.product_folder, options);
      auto module = module_of_key.find(entry.first);
      if (module != module_of_key.end())
        item.module_file = plan.modules[module->second].record.path;
      phase.items.push_back(item);
    }
    if (reached && phase.items.empty()) {
      reached = false;
      empty_phase = phase.name;
    }
    plan.phases.push_back(phase);
  }

  WarningList list(&plan.warnings);
  if (!plan.catalogue_loaded) {
    list.Add("catalogue-failed",
             L"the module catalogue does not load (error code \"" + plan.error_code +
                 L"\", detail \"" + plan.error_detail + L"\"): the run fails before any phase");
  }
  WarnAboutModules(plan, &list);
  WarnAboutPhases(plan, &list);
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

  if (!plan.catalogue_loaded) {
    plan.prediction =
        L"the run fails: the module catalogue does not load; Taverly ends with "
        L"exit code 210";
  } else if (!empty_phase.empty()) {
    plan.prediction = L"the run fails: phase " + Wide(empty_phase) +
                      L" has no item; Taverly ends with exit code 210";
  } else {
    plan.predicts_success = true;
    plan.prediction =
        L"the run succeeds when every started program and called entry gives a "
        L"result its item accepts; Taverly then ends with exit code 0";
  }
  return plan;
}
