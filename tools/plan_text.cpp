// How the plan names things: module files, verdicts, signatures, keys.
#include "Platform/system/system.h"
#include "Utils/LogText.h"
#include "Utils/PathUtils.h"
#include "tools/plan_parts.h"
#include "tools/plan_report.h"

std::wstring Quoted(const std::string& narrow) {
  return L"\"" + AnsiToWide(EscapedLogText(narrow)) + L"\"";
}

std::wstring Joined(const std::vector<std::string>& parts) {
  std::wstring text;
  for (const std::string& part : parts) text += (text.empty() ? L"" : L", ") + AnsiToWide(part);
  return text;
}

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

const char* OutcomeName(ItemOutcome outcome) {
  switch (outcome) {
    case ItemOutcome::kRuns:
      return "runs";
    case ItemOutcome::kSkipped:
      return "skipped";
    case ItemOutcome::kFails:
      return "fails";
    case ItemOutcome::kDoesNothing:
      break;
  }
  return "does-nothing";
}

// The item's fate in the run report's words: "runs" (its result decides
// between succeeded and failed), "failed", "skipped", "not_started",
// "not_reached" or "done_before_restart".
const char* PredictionName(const PlannedItem& item, bool phase_reached) {
  if (!phase_reached || !item.reached) return "not_reached";
  if (item.done_before_restart) return "done_before_restart";
  switch (item.outcome) {
    case ItemOutcome::kRuns:
      return "runs";
    case ItemOutcome::kSkipped:
      return "skipped";
    case ItemOutcome::kFails:
      return "failed";
    case ItemOutcome::kDoesNothing:
      break;
  }
  return "not_started";
}

std::wstring OutcomeText(const PlannedItem& item) {
  if (!item.reached) return L"not reached: an item before it fails the run";
  if (item.done_before_restart) return L"done before the restart";
  switch (item.outcome) {
    case ItemOutcome::kRuns:
      if (!item.fails_if_run) return L"runs";
      return L"runs if its if_program lets it, and then fails with error code " +
             std::to_wstring(item.fail_code) + L": " + item.why;
    case ItemOutcome::kSkipped:
      return L"skipped: " + item.why;
    case ItemOutcome::kFails:
      return L"fails with error code " + std::to_wstring(item.fail_code) + L": " + item.why;
    case ItemOutcome::kDoesNothing:
      break;
  }
  return L"does nothing: " + item.why;
}
