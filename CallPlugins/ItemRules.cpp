#include "CallPlugins/ItemRules.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "Platform/platform.h"
#include "Utils/PathUtils.h"

namespace {

const wchar_t kProductPathToken[] = L"%productpath%";

}  // namespace

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

int32_t ParseExpectedCode(const std::string& text, bool* exact) {
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (exact != nullptr) {
    // strtoll leaves end at the start when it found no digits.
    bool clean = end != text.c_str() && value >= INT32_MIN && value <= INT32_MAX;
    for (const char* rest = end; clean && *rest != '\0'; ++rest) {
      clean = std::isspace(static_cast<unsigned char>(*rest)) != 0;
    }
    *exact = clean;
  }
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

bool AsksForRestart(const std::string& reboot_exitcode, uint32_t exit_code) {
  for (const std::string& piece : SplitText(reboot_exitcode, ";")) {
    if (ParseExpectedCode(piece) == static_cast<int32_t>(exit_code)) return true;
  }
  return false;
}

std::wstring ItemFilePath(const std::wstring& product_folder, const std::string& file) {
  return product_folder + platform::kPathSeparator + AnsiToWide(file);
}

ItemFacts ReadItemFacts(ILwBundle* bundle, const std::wstring& product_folder) {
  ItemFacts facts;
  facts.file = ReadItemAttribute(bundle, "file");
  facts.file_path = ItemFilePath(product_folder, facts.file);
  facts.product_folder = product_folder;
  facts.type = ReadItemAttribute(bundle, "type");
  facts.exit_codes = ReadItemAttribute(bundle, "exitcode");
  if (!facts.exit_codes.empty()) {
    facts.has_expectation = true;
    facts.expected_codes = SplitText(facts.exit_codes, ";");
  }
  const std::string parameters = ReadItemAttribute(bundle, "param");
  if (!parameters.empty()) {
    facts.parameters = SubstituteProductPath(AnsiToWide(parameters), product_folder);
  }
  return facts;
}

ItemKind ItemKindOf(const std::string& type) {
  if (type == "Exe") return ItemKind::kExe;
  if (type == "SimpleDll") return ItemKind::kSimpleDll;
  return ItemKind::kSkipped;
}

bool ReadWaitForExit(ILwBundle* bundle) {
  return ReadItemAttribute(bundle, "wait_for_exit") == "1";
}

bool ParseTimeoutSeconds(const std::string& text, uint32_t* seconds) {
  if (text.empty() || text.size() > 9 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
  if (value < 1 || value > kLongestTimeout) return false;
  *seconds = static_cast<uint32_t>(value);
  return true;
}

Supervision DecideSupervision(bool wait, const std::string& timeout,
                              const std::string& log_output) {
  Supervision supervision;
  if (!timeout.empty()) {
    uint32_t seconds = 0;
    if (wait && ParseTimeoutSeconds(timeout, &seconds)) {
      supervision.timeout_seconds = seconds;
    } else {
      supervision.timeout_unused = true;
    }
  }
  if (log_output == "1") {
    supervision.capture_output = wait;
    supervision.capture_unused = !wait;
  }
  return supervision;
}

SystemGate DecideSystemGate(const std::string& system, bool (*is_system)()) {
  if (system == "1" && !is_system()) return SystemGate::kSkipNeedsSystem;
  if (system == "0" && is_system()) return SystemGate::kSkipNeedsOtherAccount;
  return SystemGate::kRun;
}

std::wstring ProductFolderOf(const std::string& install_path) {
  return install_path.empty() ? std::wstring() : AnsiToWide(install_path);
}

std::wstring SecurityBasePath(const std::wstring& product_folder) {
  return product_folder + platform::kPathSeparator + platform::kSecurityBaseLibrary;
}

// The phase lines are matched byte for byte by installers and log readers:
// the three blanks of "end   call" stay, and phases 1 and 3 share their
// failure line.
const PhaseRule kPhaseRules[kPhaseCount] = {
    {"after_setup",
     &ModXmlLoader::GetAfterSetupItems,
     "start call after setup plugins...",
     "CallPluginContainer() failed",
     "end   call after setup plugins"},
    {"open_selfprotect",
     &ModXmlLoader::GetOpenSelfProtectItems,
     "start call open self protect plugins...",
     "CallOpenSelfProtectPlugins() failed",
     "end   call open self protect plugins"},
    {"after_selfprotect",
     &ModXmlLoader::GetAfterSelfProtectItems,
     "start call after self protect plugins...",
     "CallPluginContainer() failed",
     "end   call after self protect plugins"},
};
