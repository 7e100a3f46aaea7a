#include "tools/plan_report.h"

#include <sstream>

#include "Platform/system/system.h"
#include "Utils/JsonText.h"
#include "Utils/PathUtils.h"
#include "tools/plan_as_user.h"
#include "tools/plan_conditions.h"
#include "tools/plan_events.h"
#include "tools/plan_parts.h"
#include "tools/plan_restart.h"
#include "tools/plan_undo.h"

namespace {

const char* KindName(ItemKind kind) {
  switch (kind) {
    case ItemKind::kExe:
      return "Exe";
    case ItemKind::kSimpleDll:
      return "SimpleDll";
    case ItemKind::kSkipped:
      break;
  }
  return "skipped";
}

const char* LibraryCheckName(LibraryCheck check) {
  switch (check) {
    case LibraryCheck::kNotChecked:
      return "not-checked";
    case LibraryCheck::kLoads:
      return "loads";
    case LibraryCheck::kNoLoad:
      return "no-load";
    case LibraryCheck::kNoEntry:
      break;
  }
  return "no-entry";
}

// The code list as the runner compares it; a piece that reads as something
// else than it says shows both.
std::wstring CodeList(const std::vector<ExpectedCode>& codes) {
  std::wstring text;
  for (const ExpectedCode& code : codes) {
    if (!text.empty()) text += L", ";
    text += std::to_wstring(code.value);
    if (!code.exact) text += L" (from " + Quoted(code.text) + L")";
  }
  return text;
}

// The codes the run compares an Exe item's exit code with; a skipped item is
// never compared, and the plan lists none for it.
const std::vector<ExpectedCode>& ComparedCodes(const PlannedItem& item) {
  static const std::vector<ExpectedCode> none;
  return item.kind == ItemKind::kExe ? item.expected_codes : none;
}

std::string Text(const std::wstring& wide) { return WideToAnsi(wide); }
std::string Json(const std::wstring& wide) { return platform::WideToUtf8(wide); }
std::string Json(const std::string& narrow) { return AnsiToUtf8(narrow.c_str()); }

std::string OrNone(const std::string& text) { return text.empty() ? "(none)" : text; }

void WriteItemText(const PlannedItem& item, bool libraries_loaded, std::ostream& out) {
  out << "  key " << item.key << "  " << (item.type.empty() ? std::string("(no type)") : item.type)
      << "  " << Text(OutcomeText(item)) << "\n";
  out << "    module file: " << Text(FileName(item.module_file)) << "\n";
  out << "    file: " << item.file << "\n";
  out << "    path: " << Text(item.path) << " (" << Text(PathStatusText(item, libraries_loaded))
      << ")\n";
  if (item.kind == ItemKind::kSimpleDll) {
    out << "    entry: " << OrNone(item.entry) << "\n";
  } else {
    out << "    param: " << OrNone(Text(item.ShownParameters())) << "\n";
    out << "    wait_for_exit: " << (item.wait ? "yes" : "no") << "\n";
    out << "    system: " << OrNone(item.system) << "\n";
    // Shown where written, so a plan of a product without them reads as before.
    if (!item.timeout.empty()) out << "    timeout: " << Text(TimeoutText(item)) << "\n";
    if (!item.log_output.empty()) {
      out << "    log_output: " << Text(LogOutputText(item)) << "\n";
    }
    if (!item.reboot_exitcode.empty()) {
      out << "    reboot_exitcode: " << Text(RestartCodesText(item)) << "\n";
    }
  }
  WriteConditionsText(item, out);
  WriteAsUserText(item, out);
  WriteRestartText(item, out);
  WriteItemSecurityText(item, out);
  WriteUndoText(item, out);
  out << "    expects: " << Text(ExpectsText(item)) << "\n";
}

using json::Member;
using json::MemberOrNull;
using JsonWriter = json::Writer;

// The members of a program item (and of a skipped one) that a library item has not.
void WriteProgramJson(const PlannedItem& item, JsonWriter& json) {
  Member(json, "param", Json(item.ShownParameters()));
  Member(json, "wait_for_exit", item.wait);
  Member(json, "system", Json(item.system));
  Member(json, "can_start", item.can_start);
  Member(json, "timeout", Json(item.timeout));
  MemberOrNull(json, "timeout_seconds", item.timeout_seconds > 0, item.timeout_seconds);
  Member(json, "log_output", Json(item.log_output));
  Member(json, "captures_output", item.capture_output);
  Member(json, "reboot_exitcode", Json(item.reboot_exitcode));
  json.Key("reboot_codes");
  json.StartArray();
  for (const ExpectedCode& code : item.restart_codes) json.Int(code.value);
  json.EndArray();
}

// What the run accepts: a library's one result, or a program's exit codes.
void WriteExpectationJson(const PlannedItem& item, JsonWriter& json) {
  Member(json, "exitcode", Json(item.exitcode));
  Member(json, "has_expectation", item.has_expectation);
  if (item.kind == ItemKind::kSimpleDll) {
    MemberOrNull(json, "expected_result", item.has_expectation, kExpectedLibraryResult);
    return;
  }
  json.Key("expected_codes");
  json.StartArray();
  for (const ExpectedCode& code : ComparedCodes(item)) {
    json.StartObject();
    Member(json, "text", Json(code.text));
    Member(json, "value", static_cast<int>(code.value));
    Member(json, "exact", code.exact);
    json.EndObject();
  }
  json.EndArray();
}

void WriteItemJson(const PlannedItem& item, bool libraries_loaded, bool phase_reached,
                   JsonWriter& json) {
  json.StartObject();
  Member(json, "key", item.key);
  Member(json, "prediction", std::string(PredictionName(item, phase_reached)));
  Member(json, "module_file", Json(item.module_file));
  Member(json, "type", Json(item.type));
  Member(json, "kind", std::string(KindName(item.kind)));
  Member(json, "outcome", std::string(OutcomeName(item.outcome)));
  Member(json, "outcome_text", Json(OutcomeText(item)));
  Member(json, "file", Json(item.file));
  Member(json, "path", Json(item.path));
  Member(json, "exists", item.file_exists);
  Member(json, "path_status", Json(PathStatusText(item, libraries_loaded)));
  if (item.kind == ItemKind::kSimpleDll) {
    Member(json, "entry", Json(item.entry));
    Member(json, "library", std::string(LibraryCheckName(item.library)));
  } else {
    WriteProgramJson(item, json);
  }
  WriteConditionsJson(item, json);
  WriteAsUserJson(item, json);
  WriteRestartJson(item, json);
  WriteItemSecurityJson(item, json);
  WriteUndoJson(item, json);
  WriteExpectationJson(item, json);
  Member(json, "expects", Json(ExpectsText(item)));
  json.EndObject();
}

}  // namespace

std::wstring PathStatusText(const PlannedItem& item, bool libraries_loaded) {
  if (!item.file_exists) return L"does not exist";
  switch (item.kind) {
    case ItemKind::kExe:
      return item.can_start ? L"exists, can be started" : L"exists, cannot be started";
    case ItemKind::kSimpleDll:
      switch (item.library) {
        case LibraryCheck::kNotChecked:
          return libraries_loaded ? L"exists" : L"exists; --load checks that it loads";
        case LibraryCheck::kLoads:
          return L"exists, loads and exports " + Quoted(item.entry);
        case LibraryCheck::kNoLoad:
          return L"exists, does not load (error " + std::to_wstring(item.load_error) + L")";
        case LibraryCheck::kNoEntry:
          return L"exists, loads, but exports no " + Quoted(item.entry);
      }
      break;
    case ItemKind::kSkipped:
      break;
  }
  return L"exists";
}

std::wstring TimeoutText(const PlannedItem& item) {
  if (item.timeout.empty()) return L"none";
  if (item.timeout_seconds > 0) {
    return std::to_wstring(item.timeout_seconds) +
           L" s, then the program and what it started are ended and the item fails";
  }
  return Quoted(item.timeout) + L" is not used";
}

std::wstring RestartCodesText(const PlannedItem& item) {
  if (!item.wait) return Quoted(item.reboot_exitcode) + L" is not used";
  if (item.restart_codes.empty()) return L"no code (" + Quoted(item.reboot_exitcode) + L")";
  return L"exit code " + CodeList(item.restart_codes) +
         L" means done, and the installer is told to restart";
}

std::wstring LogOutputText(const PlannedItem& item) {
  if (item.capture_output) return L"yes: its output goes into the log";
  if (item.log_output.empty()) return L"no";
  return Quoted(item.log_output) + L": not captured";
}

std::wstring ExpectsText(const PlannedItem& item) {
  const std::wstring exitcode = L"exitcode " + Quoted(item.exitcode);
  if (item.kind == ItemKind::kSimpleDll) {
    if (!item.has_expectation) return L"any result (no exitcode)";
    return L"the entry returns -1 (" + exitcode + L" only asks for a check)";
  }
  if (!item.has_expectation) return L"any exit code (no exitcode)";
  if (ComparedCodes(item).empty()) return L"no exit code at all (" + exitcode + L" holds no code)";
  return L"exit code " + CodeList(ComparedCodes(item)) + L" (" + exitcode + L")";
}

std::wstring SecurityBaseText(const SecurityBaseEntry& security_base) {
  if (!security_base.present) return L"missing: the run goes on without it";
  const std::wstring verdict = L"signature verdict " + SignatureVerdictText(security_base.verdict);
  if (security_base.accepted) {
    return verdict + L": accepted; the run loads and starts it before the phases";
  }
  return verdict + L": refused; the run goes on without it";
}

std::string PlanText(const Plan& plan) {
  std::ostringstream out;
  out << "taverly-plan for " << Text(plan.product_folder) << "\n";
  out << "account: " << (plan.system_account ? "the system account" : "not the system account")
      << "\n";
  out << "libraries: "
      << (plan.libraries_loaded ? "loaded to find their entries, never called"
                                : "not loaded (--load loads them to find their entries)")
      << "\n";

  for (const PlannedPhase& phase : plan.phases) {
    out << "\nphase " << phase.name << ": " << phase.items.size() << " item(s) in run order"
        << (phase.reached ? "" : ", not reached") << "\n";
    for (const PlannedItem& item : phase.items) WriteItemText(item, plan.libraries_loaded, out);
  }

  out << "\nmodules (in search order)\n";
  if (plan.modules.empty()) out << "  none found\n";
  for (const ModuleEntry& module : plan.modules) {
    out << "  " << Text(FileName(module.record.path)) << ": " << Text(ModuleText(module)) << "\n";
  }
  if (!plan.catalogue_loaded) {
    out << "  the catalogue fails: error code \"" << Text(plan.error_code) << "\", detail \""
        << Text(plan.error_detail) << "\"\n";
  }

  out << "\nsecurity base\n  " << Text(plan.security_base.path) << ": "
      << Text(SecurityBaseText(plan.security_base)) << "\n";

  WriteRestartRecordText(plan, out);
  WriteEventRecordsText(plan, out);
  WriteRollbackText(plan, out);
  out << "\nwarnings (" << plan.warnings.size() << ")\n";
  if (plan.warnings.empty()) out << "  none\n";
  for (const PlanWarning& warning : plan.warnings) {
    out << "  [" << warning.code << "] " << Text(warning.text) << "\n";
  }

  out << "\nprediction: " << Text(plan.prediction) << "\n";
  return out.str();
}

namespace {

void WritePhasesJson(const Plan& plan, JsonWriter& json) {
  json.Key("phases");
  json.StartArray();
  for (const PlannedPhase& phase : plan.phases) {
    json.StartObject();
    Member(json, "name", phase.name);
    Member(json, "reached", phase.reached);
    json.Key("items");
    json.StartArray();
    for (const PlannedItem& item : phase.items) {
      WriteItemJson(item, plan.libraries_loaded, phase.reached, json);
    }
    json.EndArray();
    json.EndObject();
  }
  json.EndArray();
}

void WriteModulesJson(const Plan& plan, JsonWriter& json) {
  json.Key("modules");
  json.StartArray();
  for (const ModuleEntry& module : plan.modules) {
    json.StartObject();
    Member(json, "file", Json(module.record.path));
    Member(json, "outcome", std::string(ModuleOutcomeName(module.record.outcome)));
    Member(json, "admitted", module.judged && module.verdict.installed);
    if (module.judged) {
      Member(json, "name", Json(module.verdict.module_name));
      Member(json, "reason", std::string(ModuleReasonName(module.verdict.reason)));
    }
    Member(json, "text", Json(ModuleText(module)));
    json.Key("item_keys");
    json.StartArray();
    for (const std::string& key : module.record.item_keys) json.String(key.c_str());
    json.EndArray();
    Member(json, "dropped_items", module.record.dropped_items);
    json.EndObject();
  }
  json.EndArray();
}

void WriteSecurityBaseJson(const Plan& plan, JsonWriter& json) {
  json.Key("security_base");
  json.StartObject();
  Member(json, "path", Json(plan.security_base.path));
  Member(json, "exists", plan.security_base.present);
  MemberOrNull(json, "verdict", plan.security_base.present, plan.security_base.verdict);
  Member(json, "accepted", plan.security_base.accepted);
  Member(json, "text", Json(SecurityBaseText(plan.security_base)));
  json.EndObject();
}

}  // namespace

std::string PlanJson(const Plan& plan) {
  json::Document document;
  JsonWriter& json = document.writer;
  json.StartObject();
  Member(json, "product_folder", Json(plan.product_folder));
  Member(json, "system_account", plan.system_account);
  Member(json, "libraries_loaded", plan.libraries_loaded);

  WritePhasesJson(plan, json);
  WriteModulesJson(plan, json);
  json.Key("catalogue");
  json.StartObject();
  Member(json, "loaded", plan.catalogue_loaded);
  Member(json, "error_code", Json(plan.error_code));
  Member(json, "error_detail", Json(plan.error_detail));
  json.EndObject();

  WriteSecurityBaseJson(plan, json);
  WriteRestartRecordJson(plan, json);
  WriteEventRecordsJson(plan, json);
  WriteRollbackJson(plan, json);
  json.Key("warnings");
  json.StartArray();
  for (const PlanWarning& warning : plan.warnings) {
    json.StartObject();
    Member(json, "code", warning.code);
    Member(json, "text", Json(warning.text));
    json.EndObject();
  }
  json.EndArray();
  json.Key("prediction");
  json.StartObject();
  Member(json, "success", plan.predicts_success);
  Member(json, "text", Json(plan.prediction));
  json.EndObject();
  json.EndObject();
  return document.text + "\n";
}
