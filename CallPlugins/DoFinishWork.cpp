#include "CallPlugins/DoFinishWork.h"

#include <glog/logging.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "App/Elevate.h"
#include "App/FilterLoadModule.h"
#include "CallPlugins/InstallErrorRecord.h"
#include "CallPlugins/LwSecurityBase.h"
#include "CmdParser/CommandParser.h"
#include "Platform/platform.h"
#include "Utils/FileUtils.h"
#include "Utils/LogText.h"
#include "Utils/PathUtils.h"

namespace {

const wchar_t kProductPathToken[] = L"%productpath%";
const char kExpectedResult[] = "-1";

// What every item of a phase carries, read afresh for each item.
struct Item {
  std::wstring file_path;       // product folder + separator + "file"
  std::string type;
  bool has_expectation = false; // "exitcode" is not empty
  std::vector<std::string> expected_codes;
  std::wstring parameters;      // "param" with "%productpath%" replaced
};

// Reads a text attribute with the bundle's two-call protocol; anything but a
// clean answer reads as empty.
std::string ReadAttribute(ILwBundle* bundle, const char* name) {
  if (bundle == nullptr || name == nullptr || *name == '\0') return std::string();
  int32_t length = 0;
  if (bundle->GetString(name, nullptr, &length) != LW_S_MORE_DATA || length <= 0) {
    return std::string();
  }
  std::vector<char> buffer(static_cast<size_t>(length), '\0');
  if (bundle->GetString(name, buffer.data(), &length) != 0) return std::string();
  return std::string(buffer.data());
}

// Replaces each "%productpath%" by the folder; inserted text is never searched again.
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

// atoi with the C runtime's rules (blanks and a sign accepted, stops at the
// first non-digit, no digits give 0); out-of-range values saturate as the
// Windows runtime does, on every platform.
int32_t ParseExpectedCode(const std::string& text) {
  errno = 0;
  long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

void RecordItemFailure(const std::wstring& message) {
  LOG(INFO) << LogText(message);
  SetErrorCode(kInstallErrorExitCode);
  SetErrorDetail(message);
}

bool RunExeItem(ILwBundle* bundle, const Item& item) {
  bool wait = ReadAttribute(bundle, "wait_for_exit") == "1";
  std::string system = ReadAttribute(bundle, "system");
  auto tail = [&](std::ostream& line) -> std::ostream& {
    return line << LogText(item.file_path) << " , param: " << LogText(item.parameters)
                << " ,wait_for_exit: " << (wait ? "1" : "0") << " , system: " << system;
  };

  if (system == "1" && !IsSystemAccount()) {
    tail(LOG(INFO) << "run exe need system, current is not system, will not excute it, path: ");
    return true;
  }
  if (system == "0" && IsSystemAccount()) {
    tail(LOG(INFO) << "run exe do not need system, current is system, will not excute it, path: ");
    return true;
  }
  tail(LOG(INFO) << "run exe application: ");

  uint32_t exit_code = 0xFFFFFFFFu;
  if (!ShellOpenFile(item.file_path.c_str(), item.parameters.c_str(), wait, &exit_code)) {
    return true;
  }
  if (!item.has_expectation) return true;

  for (const std::string& expected : item.expected_codes) {
    if (ParseExpectedCode(expected) == static_cast<int32_t>(exit_code)) {
      LOG(INFO) << "exitCode match the expectations , exitCode: " << exit_code
                << ". expected result: " << kExpectedResult;
      return true;
    }
  }
  RecordItemFailure(L"exitCode do not match expectations, exe file:" + item.file_path +
                    L" ,param:" + item.parameters + L" ,exe exit code:" +
                    std::to_wstring(exit_code) + L" ,expected exit code:" + L"-1");
  return false;
}

bool RunSimpleDllItem(ILwBundle* bundle, const Item& item) {
  std::string entry = ReadAttribute(bundle, "entry");
  LOG(INFO) << "run dll: " << LogText(item.file_path) << " , entry: " << entry;

  // Libraries stay loaded for the rest of the process, whatever the outcome.
  uint32_t error = 0;
  void* library = platform::LoadLibraryFile(item.file_path, &error);
  if (library == nullptr) {
    LOG(INFO) << "LoadLibrary fail: " << LogText(item.file_path) << " ,getlasterror = " << error;
    return true;
  }
  using EntryFunction = int32_t (*)();
  auto function = reinterpret_cast<EntryFunction>(platform::FindExport(library, entry.c_str()));
  if (function == nullptr) {
    LOG(INFO) << "run dll fail: " << LogText(item.file_path) << " , entry: " << entry;
    return true;
  }
  int32_t result = function();
  if (!item.has_expectation || result == -1) return true;

  RecordItemFailure(L"exitCode do not match expectations, exe file:" + item.file_path +
                    L" ,entry:" + AnsiToWide(entry) + L" ,exe exit code:" +
                    std::to_wstring(result) + L" ,expected exit code:" + L"-1");
  return false;
}

ILwSecurityBase*& SecurityBaseObject() {
  static ILwSecurityBase* object = nullptr;
  return object;
}

struct Phase {
  PhaseItemMap (ModXmlLoader::*items)();
  const char* start_line;
  const char* failure_line;
  const char* end_line;
};

const Phase kPhases[] = {
    {&ModXmlLoader::GetAfterSetupItems, "start call after setup plugins...",
     "CallPluginContainer() failed", "end   call after setup plugins"},
    {&ModXmlLoader::GetOpenSelfProtectItems, "start call open self protect plugins...",
     "CallOpenSelfProtectPlugins() failed", "end   call open self protect plugins"},
    {&ModXmlLoader::GetAfterSelfProtectItems, "start call after self protect plugins...",
     "CallPluginContainer() failed", "end   call after self protect plugins"},
};

}  // namespace

PluginCaller::PluginCaller() : product_folder_(AnsiToWide(GetInstallPath())) {}

bool PluginCaller::LoadSecurityBase() {
  std::wstring path = product_folder_ + platform::kPathSeparator + platform::kSecurityBaseLibrary;
  if (!platform::PathExists(path)) return false;
  if (!VerifyFileSignature(path.c_str())) {
    LOG(ERROR) << "check file sign fail, file path: " << LogText(path);
    return false;
  }
  // Neither the library nor its object is ever released.
  uint32_t error = 0;
  void* library = platform::LoadLibraryFile(path, &error);
  if (library == nullptr) return false;
  auto factory = reinterpret_cast<LwCreateHOXObjectFn>(platform::FindExport(library, "CreateHOXObject"));
  if (factory == nullptr) return false;
  static const LwGuid kInterfaceId = LW_IID_SECURITY_BASE_INIT;
  factory(&kInterfaceId, reinterpret_cast<void**>(&SecurityBaseObject()));
  if (SecurityBaseObject() == nullptr) return false;
  SecurityBaseObject()->Start();
  return true;
}

bool PluginCaller::CallPluginContainer(PhaseItemMap items) {
  for (const auto& entry : items) {
    ILwBundle* bundle = entry.second;
    Item item;
    item.file_path = product_folder_ + platform::kPathSeparator + AnsiToWide(ReadAttribute(bundle, "file"));
    item.type = ReadAttribute(bundle, "type");
    std::string exit_codes = ReadAttribute(bundle, "exitcode");
    if (!exit_codes.empty()) {
      item.has_expectation = true;
      item.expected_codes = SplitText(exit_codes, ";");
    }
    std::string parameters = ReadAttribute(bundle, "param");
    if (!parameters.empty()) {
      item.parameters = SubstituteProductPath(AnsiToWide(parameters), product_folder_);
    }

    bool done = true;
    if (item.type == "Exe") {
      done = RunExeItem(bundle, item);
    } else if (item.type == "SimpleDll") {
      done = RunSimpleDllItem(bundle, item);
    }
    if (!done) return false;
  }
  return true;
}

bool DoFinishWork() {
  const std::string& install_path = GetInstallPath();
  std::wstring product_folder = install_path.empty() ? std::wstring() : AnsiToWide(install_path);
  AddFolderToProcessPath(product_folder);

  PluginCaller caller;
  caller.LoadSecurityBase();

  auto filter = std::make_shared<LoadModFilter>();
  caller.SetCatalogue(std::make_unique<ModXmlLoader>(product_folder, filter));
  bool loaded = caller.catalogue()->LoadModules();
  filter.reset();
  if (!loaded) return false;

  for (const Phase& phase : kPhases) {
    PhaseItemMap items = (caller.catalogue()->*phase.items)();
    if (items.empty()) return false;
    LOG(INFO) << phase.start_line;
    if (!caller.CallPluginContainer(items)) {
      LOG(ERROR) << phase.failure_line;
      return false;
    }
    LOG(INFO) << phase.end_line;
  }
  return true;
}
