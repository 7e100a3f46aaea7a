#include "CallPlugins/Item.h"

#include <algorithm>

#include "Platform/process/process.h"
#include "Platform/system/system.h"
#include "Platform/system/system_state.h"
#include "Utils/LogText.h"
#include "Utils/PathUtils.h"

const wchar_t kHiddenParameters[] = L"***";

void AddUnused(Item* item, UnusedStage stage, const char* name, const std::string& text, Unused why,
               UnusedLine line) {
  if (why == Unused::kNo || text.empty()) return;
  item->unused.push_back({name, text, why, stage, line});
}

namespace {

void AddUnusedCondition(Item* item, const char* name, const std::string& text, Unused why) {
  AddUnused(item, UnusedStage::kConditions, name, text, why);
}

// Every attribute the program reads besides the head, as written: one line each.
void ReadItemTexts(ILwBundle* bundle, Item* item, std::string* wait_for_exit) {
  const auto text = [bundle](const char* name) { return ReadItemAttribute(bundle, name); };
  item->exitcode = text("exitcode");
  item->param = text("param");
  item->sensitive_text = text("sensitive");
  *wait_for_exit = text("wait_for_exit");
  item->system = text("system");
  item->entry = text("entry");
  item->signed_text = text("signed");
  item->timeout = text("timeout");
  item->log_output = text("log_output");
  item->reboot_exitcode = text("reboot_exitcode");
  item->exit_class_texts.retry_exitcode = text("retry_exitcode");
  item->exit_class_texts.retries = text("retries");
  item->exit_class_texts.retry_delay = text("retry_delay");
  item->exit_class_texts.reboot_now_exitcode = text("reboot_now_exitcode");
  item->wait_for_installer = text("wait_for_installer");
  ItemConditions& conditions = item->conditions;
  conditions.creates = text("creates");
  conditions.if_exists = text("if_exists");
  conditions.unless_exists = text("unless_exists");
  conditions.unless_restart_pending = text("unless_restart_pending");
  conditions.if_registry = text("if_registry");
  conditions.if_program = text("if_program");
  conditions.if_program_timeout = text("if_program_timeout");
  ItemUndo& undo = item->undo;
  undo.undo = text("undo");
  undo.undo_entry = text("undo_entry");
  undo.undo_exitcode = text("undo_exitcode");
  undo.undo_timeout = text("undo_timeout");
  undo.rollback_boundary = text("rollback_boundary");
}

// A condition's path: the text with "%productpath%" replaced, in the product
// folder unless it is absolute; empty for no text.
std::wstring ConditionPath(const std::wstring& product_folder, const std::string& text) {
  if (text.empty()) return std::wstring();
  const std::wstring path = SubstituteProductPath(AnsiToWide(text), product_folder);
  if (platform::IsAbsolutePath(path)) return path;
  return product_folder + platform::kPathSeparator + path;
}

// "if_program": its program and parameters, as SplitProgramText reads them.
void ApplyProgramRule(Item* item) {
  ItemConditions* conditions = &item->conditions;
  if (!SplitProgramText(item->product_folder,
                        conditions->if_program,
                        &conditions->program_path,
                        &conditions->program_parameters)) {
    AddUnusedCondition(item, "if_program", conditions->if_program, Unused::kBadValue);
  }
}

// The conditions any item may have.
void ApplyConditionRules(Item* item) {
  const std::wstring& product_folder = item->product_folder;
  ItemConditions* conditions = &item->conditions;
  conditions->creates_path = ConditionPath(product_folder, conditions->creates);
  conditions->if_exists_path = ConditionPath(product_folder, conditions->if_exists);
  conditions->unless_exists_path = ConditionPath(product_folder, conditions->unless_exists);
  const std::string& restart = conditions->unless_restart_pending;
  conditions->unless_restart = restart == "1";
  if (restart != "0" && restart != "1") {
    AddUnusedCondition(item, "unless_restart_pending", restart, Unused::kBadValue);
  }
  // if_program is said before if_registry.
  ApplyProgramRule(item);
  if (!conditions->if_registry.empty()) {
    if (platform::HasRegistry()) {
      conditions->registry_text =
          SubstituteProductPath(AnsiToWide(conditions->if_registry), product_folder);
    } else {
      AddUnusedCondition(item, "if_registry", conditions->if_registry, Unused::kNoRegistry);
    }
  }
  const std::string& timeout = conditions->if_program_timeout;
  uint32_t seconds = 0;
  if (timeout.empty()) return;
  if (conditions->program_path.empty()) {
    AddUnusedCondition(item, "if_program_timeout", timeout, Unused::kNotWaited);
  } else if (!ParseWholeNumber(timeout, 1, kLongestTimeout, &seconds)) {
    AddUnusedCondition(item, "if_program_timeout", timeout, Unused::kBadValue);
  } else {
    conditions->program_timeout_seconds = seconds;
  }
}

// "wait_for_installer": whole seconds in range, for an Exe item that waits.
void ApplyInstallerWaitRule(bool exe, Item* item) {
  uint32_t seconds = 0;
  const std::string& text = item->wait_for_installer;
  if (text.empty()) return;
  if (!exe) {
    AddUnusedCondition(item, "wait_for_installer", text, Unused::kNotExe);
  } else if (!ParseWholeNumber(text, 1, kLongestTimeout, &seconds)) {
    AddUnusedCondition(item, "wait_for_installer", text, Unused::kBadValue);
  } else if (!item->wait) {
    AddUnusedCondition(item, "wait_for_installer", text, Unused::kNotWaited);
  } else {
    item->installer_wait_seconds = seconds;
  }
}

// What every item has: its path, its expectation, its parameters, "signed".
void ApplyCommonRules(const std::wstring& product_folder, Item* item) {
  item->product_folder = product_folder;
  item->path = ItemFilePath(product_folder, item->file);
  item->has_expectation = !item->exitcode.empty();
  item->expected_codes = ReadExpectedCodes(item->exitcode);
  if (!item->param.empty()) {
    item->parameters = SubstituteProductPath(AnsiToWide(item->param), product_folder);
  }
  item->signed_item = item->signed_text == "1";
  ApplyConditionRules(item);
}

// "timeout": whole seconds in range, for an Exe item that waits. The run
// says it of Exe items only.
void ApplyTimeoutRule(bool exe, Item* item) {
  uint32_t seconds = 0;
  Unused why = Unused::kNo;
  if (item->timeout.empty()) {
    return;
  } else if (!exe) {
    why = Unused::kNotExe;
  } else if (!ParseWholeNumber(item->timeout, 1, kLongestTimeout, &seconds)) {
    why = Unused::kBadValue;
  } else if (!item->wait) {
    why = Unused::kNotWaited;
  } else {
    item->timeout_seconds = seconds;
  }
  AddUnused(item,
            UnusedStage::kStart,
            "timeout",
            item->timeout,
            why,
            exe ? UnusedLine::kNotUsed : UnusedLine::kNone);
}

// "log_output": "1" captures what a waited-for program writes, where its
// output can be captured; "0" is the default said aloud.
void ApplyLogOutputRule(bool exe, Item* item) {
  const std::string& text = item->log_output;
  Unused why = Unused::kNo;
  if (text.empty() || (exe && text == "0")) {
    return;
  } else if (!exe) {
    why = Unused::kNotExe;
  } else if (text != "1") {
    why = Unused::kBadValue;
  } else if (!item->wait) {
    why = Unused::kNotWaited;
  } else if (!platform::CanCaptureOutput(item->path)) {
    why = Unused::kCannotCapture;
  } else {
    item->capture_output = true;
  }
  // The run says only that a "1" it was asked for captures nothing.
  const bool said = why == Unused::kNotWaited || why == Unused::kCannotCapture;
  AddUnused(item,
            UnusedStage::kStart,
            "log_output",
            text,
            why,
            said ? UnusedLine::kNotCaptured : UnusedLine::kNone);
}

// What serves Exe items only, and what of it only those that wait.
void ApplyExeRules(const std::string& wait_for_exit, Item* item) {
  const bool exe = item->kind == ItemKind::kExe;
  item->wait = exe && wait_for_exit == "1";
  item->sensitive = exe && item->sensitive_text == "1";
  if (exe && item->system == "1") item->system_requirement = SystemRequirement::kSystemAccount;
  if (exe && item->system == "0") item->system_requirement = SystemRequirement::kOtherAccount;
  ApplyTimeoutRule(exe, item);
  item->restart_codes = ReadExpectedCodes(item->reboot_exitcode);
  if (!item->wait) {
    // Named by the plan only: the run has always been silent about it.
    AddUnused(item,
              UnusedStage::kStart,
              "reboot_exitcode",
              item->reboot_exitcode,
              exe ? Unused::kNotWaited : Unused::kNotExe,
              UnusedLine::kNone);
  }
  ApplyLogOutputRule(exe, item);
  item->exit_classes = DecideExitClasses(item->wait, item->exit_class_texts);
  for (UnusedAttribute& unused : item->exit_classes.unused) item->unused.push_back(unused);
  item->exit_classes.unused.clear();  // the item keeps one list
  ApplyInstallerWaitRule(exe, item);
}

void AddUnusedUndo(Item* item, const char* name, const std::string& text, Unused why) {
  AddUnused(item, UnusedStage::kStart, name, text, why);
}

// The undo attributes: a program any item may have, an entry of a library
// item's own library (which then is its undo), the codes that mean undone,
// the undo program's time limit and the boundary.
void ApplyUndoRules(Item* item) {
  ItemUndo& undo = item->undo;
  const bool library = item->kind == ItemKind::kSimpleDll;
  if (!undo.undo_entry.empty()) {
    if (library) {
      undo.entry = undo.undo_entry;
    } else {
      AddUnusedUndo(item, "undo_entry", undo.undo_entry, Unused::kNotLibrary);
    }
  }
  if (!undo.undo.empty()) {
    if (!undo.entry.empty()) {
      AddUnusedUndo(item, "undo", undo.undo, Unused::kEntryUndoes);
    } else if (!SplitProgramText(
                   item->product_folder, undo.undo, &undo.program_path, &undo.program_parameters)) {
      AddUnusedUndo(item, "undo", undo.undo, Unused::kBadValue);
    }
  }
  undo.expected_codes = ReadExpectedCodes(undo.undo_exitcode);
  const bool readable = !undo.expected_codes.empty() &&
                        std::all_of(undo.expected_codes.begin(),
                                    undo.expected_codes.end(),
                                    [](const ExpectedCode& code) { return code.exact; });
  if (!readable) {
    AddUnusedUndo(item, "undo_exitcode", undo.undo_exitcode, Unused::kBadValue);
    undo.expected_codes = ReadExpectedCodes(kDefaultUndoExitCodes);
  }
  uint32_t seconds = 0;
  if (!undo.undo_timeout.empty()) {
    if (ParseWholeNumber(undo.undo_timeout, 1, kLongestTimeout, &seconds)) {
      undo.timeout_seconds = seconds;
    } else {
      AddUnusedUndo(item, "undo_timeout", undo.undo_timeout, Unused::kBadValue);
    }
  }
  const std::string& boundary = undo.rollback_boundary;
  undo.boundary = boundary == "1";
  if (!boundary.empty() && boundary != "0" && boundary != "1") {
    AddUnusedUndo(item, "rollback_boundary", boundary, Unused::kBadValue);
  }
}

}  // namespace

ItemKind ItemKindOf(const std::string& type) {
  if (type == "Exe") return ItemKind::kExe;
  if (type == "SimpleDll") return ItemKind::kSimpleDll;
  return ItemKind::kSkipped;
}

SystemGate DecideSystemGate(SystemRequirement requirement, bool system_account) {
  if (requirement == SystemRequirement::kSystemAccount && !system_account) {
    return SystemGate::kSkipNeedsSystem;
  }
  if (requirement == SystemRequirement::kOtherAccount && system_account) {
    return SystemGate::kSkipNeedsOtherAccount;
  }
  return SystemGate::kRun;
}

bool ItemConditions::Any() const {
  return !creates.empty() || !if_exists.empty() || !unless_exists.empty() || unless_restart ||
         !registry_text.empty() || !program_path.empty();
}

std::wstring Item::ShownParameters() const {
  return sensitive ? std::wstring(kHiddenParameters) : parameters;
}

std::string Item::ShownText(const UnusedAttribute& attribute) const {
  return sensitive && CarriesParameters(attribute) ? LogText(kHiddenParameters)
                                                   : EscapedLogText(attribute.text);
}

Unused Item::UnusedWhy(const std::string& name) const {
  for (const UnusedAttribute& attribute : unused) {
    if (name == attribute.name) return attribute.why;
  }
  return Unused::kNo;
}

bool Item::AsksForRestart(uint32_t exit_code) const {
  return UnusedWhy("reboot_exitcode") == Unused::kNo && InExpectedCodes(restart_codes, exit_code);
}

bool Item::Accepts(uint32_t exit_code) const {
  return !has_expectation || InExpectedCodes(expected_codes, exit_code);
}

std::string ReadItemAttribute(ILwBundle* bundle, const char* name) {
  if (bundle == nullptr || name == nullptr || *name == '\0') return std::string();
  int32_t length = 0;
  if (bundle->GetString(name, nullptr, &length) != LW_S_MORE_DATA || length <= 0) {
    return std::string();
  }
  std::vector<char> buffer(static_cast<size_t>(length), '\0');
  if (bundle->GetString(name, buffer.data(), &length) != 0) return std::string();
  return std::string(buffer.data());
}

ItemHead ReadItemHead(ILwBundle* bundle) {
  ItemHead head;
  head.type = ReadItemAttribute(bundle, "type");
  head.file = ReadItemAttribute(bundle, "file");
  head.kind = ItemKindOf(head.type);
  return head;
}

Item ParseItem(const ItemHead& head, ILwBundle* bundle, const std::wstring& product_folder) {
  Item item;
  static_cast<ItemHead&>(item) = head;
  std::string wait_for_exit;
  ReadItemTexts(bundle, &item, &wait_for_exit);
  ApplyCommonRules(product_folder, &item);
  ApplyExeRules(wait_for_exit, &item);
  ApplyUndoRules(&item);
  ParseAsUser(bundle, &item);
  return item;
}

Item ParseItem(ILwBundle* bundle, const std::wstring& product_folder) {
  return ParseItem(ReadItemHead(bundle), bundle, product_folder);
}

CodeClass ClassOfExitCode(const Item& item, bool has_process, uint32_t exit_code,
                          bool retries_left) {
  if (has_process) {
    if (InCodeList(item.exit_classes.restart_now_codes, exit_code)) return CodeClass::kRestartNow;
    if (item.AsksForRestart(exit_code)) return CodeClass::kRestart;
    if (retries_left && InCodeList(item.exit_classes.retry_codes, exit_code)) {
      return CodeClass::kRetry;
    }
  }
  return item.Accepts(has_process ? exit_code : 0xFFFFFFFFu) ? CodeClass::kAccepted
                                                             : CodeClass::kRefused;
}

bool SplitProgramText(const std::wstring& product_folder, const std::string& text,
                      std::wstring* program, std::wstring* parameters) {
  const size_t begin = text.find_first_not_of(' ');
  if (begin == std::string::npos || text.compare(begin, 2, "\"\"") == 0) return false;
  size_t end = 0, rest = 0;
  if (text[begin] == '"') {
    end = text.find('"', begin + 1);
    end = end == std::string::npos ? text.size() : end;
    rest = std::min(text.size(), end + 1);
    *program = ConditionPath(product_folder, text.substr(begin + 1, end - begin - 1));
  } else {
    end = std::min(text.find(' ', begin), text.size());
    rest = end;
    *program = ConditionPath(product_folder, text.substr(begin, end - begin));
  }
  const size_t start = text.find_first_not_of(' ', rest);
  if (start != std::string::npos) {
    *parameters = SubstituteProductPath(AnsiToWide(text.substr(start)), product_folder);
  }
  return true;
}

std::wstring SubstituteProductPath(const std::wstring& text, const std::wstring& folder) {
  static const std::wstring token = AnsiToWide(kProductPathToken);
  std::wstring result = text;
  size_t pos = result.find(token);
  while (pos != std::wstring::npos) {
    result.replace(pos, token.size(), folder);
    pos = result.find(token, pos + folder.size());
  }
  return result;
}

std::wstring ItemFilePath(const std::wstring& product_folder, const std::string& file) {
  return product_folder + platform::kPathSeparator + AnsiToWide(file);
}
