#include "CallPlugins/Item.h"

#include <algorithm>

#include "Platform/process/process.h"
#include "Platform/system/system.h"
#include "Platform/system/system_state.h"
#include "Utils/PathUtils.h"

const wchar_t kHiddenParameters[] = L"***";

namespace {

const wchar_t kProductPathToken[] = L"%productpath%";

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
}

// A condition's path: the text with "%productpath%" replaced, in the product
// folder unless it is absolute; empty for no text.
std::wstring ConditionPath(const std::wstring& product_folder, const std::string& text) {
  if (text.empty()) return std::wstring();
  const std::wstring path = SubstituteProductPath(AnsiToWide(text), product_folder);
  if (platform::IsAbsolutePath(path)) return path;
  return product_folder + platform::kPathSeparator + path;
}

// "if_program": its program (the first word, or the first part in double
// quotes) as a condition path, and the rest as its parameters.
void ApplyProgramRule(const std::wstring& product_folder, ItemConditions* conditions) {
  const std::string& text = conditions->if_program;
  const size_t begin = text.find_first_not_of(' ');
  if (begin == std::string::npos || text.compare(begin, 2, "\"\"") == 0) {
    if (!text.empty()) conditions->if_program_unused = Unused::kBadValue;
    return;
  }
  size_t end = 0, rest = 0;
  if (text[begin] == '"') {
    end = text.find('"', begin + 1);
    end = end == std::string::npos ? text.size() : end;
    rest = std::min(text.size(), end + 1);
    conditions->program_path =
        ConditionPath(product_folder, text.substr(begin + 1, end - begin - 1));
  } else {
    end = std::min(text.find(' ', begin), text.size());
    rest = end;
    conditions->program_path = ConditionPath(product_folder, text.substr(begin, end - begin));
  }
  const size_t parameters = text.find_first_not_of(' ', rest);
  if (parameters != std::string::npos) {
    conditions->program_parameters =
        SubstituteProductPath(AnsiToWide(text.substr(parameters)), product_folder);
  }
}

// The conditions any item may have.
void ApplyConditionRules(const std::wstring& product_folder, ItemConditions* conditions) {
  conditions->creates_path = ConditionPath(product_folder, conditions->creates);
  conditions->if_exists_path = ConditionPath(product_folder, conditions->if_exists);
  conditions->unless_exists_path = ConditionPath(product_folder, conditions->unless_exists);
  const std::string& restart = conditions->unless_restart_pending;
  conditions->unless_restart = restart == "1";
  if (!restart.empty() && restart != "0" && restart != "1") {
    conditions->unless_restart_pending_unused = Unused::kBadValue;
  }
  if (!conditions->if_registry.empty()) {
    if (platform::HasRegistry()) {
      conditions->registry_text =
          SubstituteProductPath(AnsiToWide(conditions->if_registry), product_folder);
    } else {
      conditions->if_registry_unused = Unused::kNoRegistry;
    }
  }
  ApplyProgramRule(product_folder, conditions);
  const std::string& timeout = conditions->if_program_timeout;
  uint32_t seconds = 0;
  if (timeout.empty()) return;
  if (conditions->program_path.empty()) {
    conditions->if_program_timeout_unused = Unused::kNotWaited;
  } else if (!ParseWholeNumber(timeout, 1, kLongestTimeout, &seconds)) {
    conditions->if_program_timeout_unused = Unused::kBadValue;
  } else {
    conditions->program_timeout_seconds = seconds;
  }
}

// "wait_for_installer": whole seconds in range, for an Exe item that waits.
void ApplyInstallerWaitRule(bool exe, Item* item) {
  uint32_t seconds = 0;
  const std::string& text = item->wait_for_installer;
  if (text.empty()) {
    item->wait_for_installer_unused = Unused::kNo;
  } else if (!exe) {
    item->wait_for_installer_unused = Unused::kNotExe;
  } else if (!ParseWholeNumber(text, 1, kLongestTimeout, &seconds)) {
    item->wait_for_installer_unused = Unused::kBadValue;
  } else if (!item->wait) {
    item->wait_for_installer_unused = Unused::kNotWaited;
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
  ApplyConditionRules(product_folder, &item->conditions);
}

// "timeout": whole seconds in range, for an Exe item that waits.
void ApplyTimeoutRule(bool exe, Item* item) {
  uint32_t seconds = 0;
  if (item->timeout.empty()) {
    item->timeout_unused = Unused::kNo;
  } else if (!exe) {
    item->timeout_unused = Unused::kNotExe;
  } else if (!ParseWholeNumber(item->timeout, 1, kLongestTimeout, &seconds)) {
    item->timeout_unused = Unused::kBadValue;
  } else if (!item->wait) {
    item->timeout_unused = Unused::kNotWaited;
  } else {
    item->timeout_seconds = seconds;
  }
}

// "log_output": "1" captures what a waited-for program writes, where its
// output can be captured; "0" is the default said aloud.
void ApplyLogOutputRule(bool exe, Item* item) {
  const std::string& text = item->log_output;
  if (text.empty() || (exe && text == "0")) {
    item->log_output_unused = Unused::kNo;
  } else if (!exe) {
    item->log_output_unused = Unused::kNotExe;
  } else if (text != "1") {
    item->log_output_unused = Unused::kBadValue;
  } else if (!item->wait) {
    item->log_output_unused = Unused::kNotWaited;
  } else if (!platform::CanCaptureOutput(item->path)) {
    item->log_output_unused = Unused::kCannotCapture;
  } else {
    item->capture_output = true;
  }
}

// What serves Exe items only, and what of it only those that wait.
void ApplyExeRules(const std::string& wait_for_exit, Item* item) {
  const bool exe = item->kind == ItemKind::kExe;
  item->wait = exe && wait_for_exit == "1";
  item->sensitive = exe && item->sensitive_text == "1";
  if (exe && item->system == "1") item->system_requirement = SystemRequirement::kSystemAccount;
  if (exe && item->system == "0") item->system_requirement = SystemRequirement::kOtherAccount;
  ApplyTimeoutRule(exe, item);
  ApplyLogOutputRule(exe, item);
  item->restart_codes = ReadExpectedCodes(item->reboot_exitcode);
  if (!item->reboot_exitcode.empty() && !item->wait) {
    item->reboot_exitcode_unused = exe ? Unused::kNotWaited : Unused::kNotExe;
  }
  item->exit_classes = DecideExitClasses(item->wait, item->exit_class_texts);
  ApplyInstallerWaitRule(exe, item);
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

bool Item::AsksForRestart(uint32_t exit_code) const {
  return reboot_exitcode_unused == Unused::kNo && InExpectedCodes(restart_codes, exit_code);
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

std::wstring SubstituteProductPath(const std::wstring& text, const std::wstring& folder) {
  std::wstring result = text;
  const size_t token_length = sizeof kProductPathToken / sizeof kProductPathToken[0] - 1;
  size_t pos = result.find(kProductPathToken);
  while (pos != std::wstring::npos) {
    result.replace(pos, token_length, folder);
    pos = result.find(kProductPathToken, pos + folder.size());
  }
  return result;
}

std::wstring ItemFilePath(const std::wstring& product_folder, const std::string& file) {
  return product_folder + platform::kPathSeparator + AnsiToWide(file);
}
