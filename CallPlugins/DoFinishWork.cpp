#include "CallPlugins/DoFinishWork.h"

#include <glog/logging.h>

#include "App/Elevate.h"
#include "App/FilterLoadModule.h"
#include "App/app.h"
#include "CallPlugins/InstallErrorRecord.h"
#include "CallPlugins/ItemOutput.h"
#include "CallPlugins/ItemRules.h"
#include "CallPlugins/LwSecurityBase.h"
#include "CmdParser/CommandParser.h"
#include "Platform/platform.h"
#include "Platform/process.h"
#include "Utils/FileUtils.h"
#include "Utils/LogText.h"
#include "Utils/PathUtils.h"

namespace {

const char kExpectedResult[] = "-1";

void RecordItemFailure(const std::wstring& message) {
  LOG(INFO) << LogText(message);
  SetErrorCode(kInstallErrorExitCode);
  SetErrorDetail(message);
}

// Says what a supervised program wrote and, when it ran past its time limit,
// fails the item. False when it timed out.
bool ReportSupervision(const ItemFacts& item, const std::string& timeout,
                       const platform::ProgramResult& result) {
  if (result.output_captured) {
    for (const std::string& text : OutputLogTexts(result.output)) {
      LOG(INFO) << "exe output: " << text;
    }
  }
  if (!result.timed_out) return true;
  LOG(INFO) << "exe timed out, ended its processes, path: " << LogText(item.file_path)
            << " ,timeout: " << timeout << (result.ended_all ? "" : ", only the program");
  SetErrorCode(kInstallErrorTimedOut);
  SetErrorDetail(L"exe timed out, exe file:" + item.file_path + L" ,param:" + item.parameters +
                 L" ,timeout:" + AnsiToWide(timeout));
  return false;
}

bool RunExeItem(ILwBundle* bundle, const ItemFacts& item) {
  bool wait = ReadWaitForExit(bundle);
  std::string system = ReadItemAttribute(bundle, "system");
  const std::string timeout = ReadItemAttribute(bundle, "timeout");
  const std::string log_output = ReadItemAttribute(bundle, "log_output");
  auto tail = [&](std::ostream& line) -> std::ostream& {
    return line << LogText(item.file_path) << " , param: " << LogText(item.parameters)
                << " ,wait_for_exit: " << (wait ? "1" : "0") << " , system: " << system;
  };

  // The log texts of this runner are matched byte for byte by installers and
  // log readers: "excute", the blank before each comma and the doubled
  // blanks stay exactly as they are.
  switch (DecideSystemGate(system, IsSystemAccount)) {
    case SystemGate::kSkipNeedsSystem:
      tail(LOG(INFO) << "run exe need system, current is not system, will not excute it, path: ");
      return true;
    case SystemGate::kSkipNeedsOtherAccount:
      tail(
          LOG(INFO) << "run exe do not need system, current is system, will not excute it, path: ");
      return true;
    case SystemGate::kRun:
      break;
  }

  const Supervision supervision = DecideSupervision(wait, timeout, log_output);
  if (supervision.timeout_unused) {
    LOG(INFO) << "timeout not used, path: " << LogText(item.file_path) << " ,timeout: " << timeout;
  }
  ShellStartOptions options;
  options.timeout_seconds = supervision.timeout_seconds;
  options.capture_output = supervision.capture_output;
  if (supervision.capture_unused ||
      (options.capture_output && !platform::CanCaptureOutput(item.file_path))) {
    LOG(INFO) << "exe output not captured, path: " << LogText(item.file_path);
    options.capture_output = false;
  }
  if (options.capture_output) options.capture_folder = App::Instance().GetLogDir();
  tail(LOG(INFO) << "run exe application: ");

  platform::ProgramResult result;
  if (!ShellStartProgram(item.file_path.c_str(), item.parameters.c_str(), wait, options, &result)) {
    return true;
  }
  if (options.capture_output && !result.output_captured) {
    LOG(INFO) << "exe output not captured, path: " << LogText(item.file_path);
  }
  if (!ReportSupervision(item, timeout, result)) return false;
  const uint32_t exit_code = result.has_process ? result.exit_code : 0xFFFFFFFFu;
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

bool RunSimpleDllItem(ILwBundle* bundle, const ItemFacts& item) {
  std::string entry = ReadItemAttribute(bundle, "entry");
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
  if (!item.has_expectation || result == kExpectedLibraryResult) return true;

  RecordItemFailure(L"exitCode do not match expectations, exe file:" + item.file_path +
                    L" ,entry:" + AnsiToWide(entry) + L" ,exe exit code:" +
                    std::to_wstring(result) + L" ,expected exit code:" + L"-1");
  return false;
}

ILwSecurityBase*& SecurityBaseObject() {
  static ILwSecurityBase* object = nullptr;
  return object;
}

}  // namespace

PluginCaller::PluginCaller() : product_folder_(ProductFolderOf(GetInstallPath())) {}

bool PluginCaller::LoadSecurityBase() {
  std::wstring path = SecurityBasePath(product_folder_);
  if (!platform::PathExists(path)) return false;
  if (!VerifyFileSignature(path.c_str())) {
    LOG(ERROR) << "check file sign fail, file path: " << LogText(path);
    return false;
  }
  // Neither the library nor its object is ever released.
  uint32_t error = 0;
  void* library = platform::LoadLibraryFile(path, &error);
  if (library == nullptr) return false;
  auto factory =
      reinterpret_cast<LwCreateHOXObjectFn>(platform::FindExport(library, "CreateHOXObject"));
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
    const ItemFacts item = ReadItemFacts(bundle, product_folder_);

    bool done = true;
    switch (ItemKindOf(item.type)) {
      case ItemKind::kExe:
        done = RunExeItem(bundle, item);
        break;
      case ItemKind::kSimpleDll:
        done = RunSimpleDllItem(bundle, item);
        break;
      case ItemKind::kSkipped:
        break;
    }
    if (!done) return false;
  }
  return true;
}

bool DoFinishWork() {
  std::wstring product_folder = ProductFolderOf(GetInstallPath());
  AddFolderToProcessPath(product_folder);

  PluginCaller caller;
  caller.LoadSecurityBase();

  auto filter = std::make_shared<LoadModFilter>();
  caller.SetCatalogue(std::make_unique<ModXmlLoader>(product_folder, filter));
  bool loaded = caller.catalogue()->LoadModules();
  filter.reset();
  if (!loaded) return false;

  for (const PhaseRule& phase : kPhaseRules) {
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
