#include "CallPlugins/DoFinishWork.h"

#include <glog/logging.h>

#include <chrono>
#include <functional>
#include <thread>

#include "App/Elevate.h"
#include "App/FilterLoadModule.h"
#include "CallPlugins/ExitClasses.h"
#include "CallPlugins/InstallErrorRecord.h"
#include "CallPlugins/ItemOutput.h"
#include "CallPlugins/ItemRules.h"
#include "CallPlugins/ItemSecurity.h"
#include "CallPlugins/LwSecurityBase.h"
#include "CallPlugins/RestartResume.h"
#include "CallPlugins/RunReport.h"
#include "CallPlugins/SignedItems.h"
#include "CmdParser/CommandParser.h"
#include "Platform/platform.h"
#include "Platform/process.h"
#include "Utils/FileUtils.h"
#include "Utils/LogText.h"
#include "Utils/PathUtils.h"
#include "taverly/item_library.h"

namespace {

const char kExpectedResult[] = "-1";

void RecordItemFailure(const std::wstring& message) {
  LOG(INFO) << LogText(message);
  SetErrorCode(kInstallErrorExitCode);
  SetErrorDetail(message);
}

// What the time-out line adds on how far the end reached (nothing: all of it).
std::string EndedReach(const platform::ProgramResult& result) {
  if (!result.ended_all) return ", only the program";
  const std::string outside = std::to_string(result.ended_outside) + " of them had left its group";
  return (result.ended_outside > 0 ? ", " + outside : std::string()) +
         (result.may_have_escaped ? ", some may have escaped" : "");
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
  LOG(INFO) << "exe timed out, ended its processes, path: " << EscapedLogText(item.file_path)
            << " ,timeout: " << EscapedLogText(timeout) << EndedReach(result);
  SetErrorCode(kInstallErrorTimedOut);
  SetErrorDetail(L"exe timed out, exe file:" + item.file_path + L" ,param:" + item.parameters +
                 L" ,timeout:" + AnsiToWide(timeout));
  return false;
}

// Passes an item over at the system gate, with its line; false when it runs.
bool SkippedAtTheGate(const std::string& system, const std::function<void(const char*)>& log) {
  // The log texts of this runner are matched byte for byte by installers and
  // log readers: "excute", the blank before each comma and the doubled
  // blanks stay exactly as they are.
  switch (DecideSystemGate(system, IsSystemAccount)) {
    case SystemGate::kSkipNeedsSystem:
      log("run exe need system, current is not system, will not excute it, path: ");
      return true;
    case SystemGate::kSkipNeedsOtherAccount:
      log("run exe do not need system, current is system, will not excute it, path: ");
      return true;
    case SystemGate::kRun:
      break;
  }
  return false;
}

// The time limit and output capture of a start, as far as they can be used;
// each one that cannot is said before the start line.
ShellStartOptions StartOptions(ILwBundle* bundle, const ItemFacts& item, bool wait) {
  const std::string timeout = ReadItemAttribute(bundle, "timeout");
  const Supervision supervision =
      DecideSupervision(wait, timeout, ReadItemAttribute(bundle, "log_output"));
  if (supervision.timeout_unused) {
    LOG(INFO) << "timeout not used, path: " << EscapedLogText(item.file_path)
              << " ,timeout: " << EscapedLogText(timeout);
  }
  ShellStartOptions options;
  options.timeout_seconds = supervision.timeout_seconds;
  options.capture_output = supervision.capture_output;
  if (supervision.capture_unused ||
      (options.capture_output && !platform::CanCaptureOutput(item.file_path))) {
    LOG(INFO) << "exe output not captured, path: " << EscapedLogText(item.file_path);
    options.capture_output = false;
  }
  // The report shows this item under way while the run waits for it.
  options.while_waiting = [] { ReportProgress(false); };
  return options;
}

// Judges the exit code of a program that ran to its end: a code that asks
// for a restart means done, whatever "exitcode" lists; else the list decides.
bool JudgeExitCode(ILwBundle* bundle, const ItemFacts& item, bool wait,
                   const platform::ProgramResult& result, ItemReport* report) {
  const uint32_t exit_code = result.has_process ? result.exit_code : 0xFFFFFFFFu;
  const std::string reboot_codes = ReadItemAttribute(bundle, "reboot_exitcode");
  report->status = ItemStatus::kSucceeded;
  if (wait && result.has_process && AsksForRestart(reboot_codes, exit_code)) {
    LOG(INFO) << "exitCode asks for a restart , exitCode: " << exit_code;
    report->reboot = true;
    GetRunRecord().reboot_required = true;
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
  report->status = ItemStatus::kFailed;
  RecordItemFailure(L"exitCode do not match expectations, exe file:" + item.file_path +
                    L" ,param:" + item.parameters + L" ,exe exit code:" +
                    std::to_wstring(exit_code) + L" ,expected exit code:" + L"-1");
  return false;
}

// The retry and restart-now classes of an item; each attribute that cannot
// be used is said in its line, as "timeout" is.
ExitClasses ExitClassesOf(ILwBundle* bundle, const ItemFacts& item, bool waited_exe) {
  ExitClasses classes = DecideExitClasses(waited_exe, ReadExitClassTexts(bundle));
  for (const UnusedAttribute& unused : classes.unused) {
    LOG(INFO) << unused.name << " not used, path: " << EscapedLogText(item.file_path) << " ,"
              << unused.name << ": " << EscapedLogText(unused.text);
  }
  return classes;
}

enum class AttemptEnd { kNotStarted, kTimedOut, kEnded };

// Starts the program with parameters (item shows them as the records may),
// and again while its exit code is in the retry class and attempts are
// left; a program that timed out is not started again.
AttemptEnd RunAttempts(ILwBundle* bundle, const ItemFacts& item, const std::wstring& parameters,
                       bool wait, const ShellStartOptions& options, const ExitClasses& classes,
                       ItemReport* report, platform::ProgramResult* result) {
  const std::string timeout = ReadItemAttribute(bundle, "timeout");
  const std::string reboot_codes = ReadItemAttribute(bundle, "reboot_exitcode");
  report->retry_used = !classes.retry_codes.empty();
  for (uint32_t attempt = 1;; ++attempt) {
    *result = platform::ProgramResult();
    if (!ShellOpenFile(
            item.file_path.c_str(), parameters.c_str(), wait, nullptr, options, result)) {
      return AttemptEnd::kNotStarted;
    }
    report->has_exit_code = result->has_process;
    report->exit_code = result->exit_code;
    report->signal = result->signal;
    report->timed_out = result->timed_out;
    if (report->retry_used && result->has_process) {
      report->attempt_exit_codes.push_back(result->exit_code);
    }
    if (options.capture_output && !result->output_captured) {
      LOG(INFO) << "exe output not captured, path: " << EscapedLogText(item.file_path);
    }
    report->status = ItemStatus::kFailed;
    if (!ReportSupervision(item, timeout, *result)) return AttemptEnd::kTimedOut;
    // Restart now and restart come before a retry.
    const uint32_t code = result->exit_code;
    if (!result->has_process || attempt > classes.retries ||
        !InCodeList(classes.retry_codes, code) || InCodeList(classes.reboot_now_codes, code) ||
        AsksForRestart(reboot_codes, code)) {
      return AttemptEnd::kEnded;
    }
    LOG(INFO) << "exe will be started again, exitCode: " << code << " ,attempt: " << attempt + 1
              << " of " << classes.retries + 1;
    std::this_thread::sleep_for(std::chrono::seconds(classes.retry_delay));
  }
}

// An exit code in the restart-now class: the item is done and the run stops
// after it, for a restart.
bool StopsForRestart(const ExitClasses& classes, const platform::ProgramResult& result,
                     ItemReport* report) {
  if (!result.has_process || !InCodeList(classes.reboot_now_codes, result.exit_code)) return false;
  LOG(INFO) << "exitCode asks for a restart before the next item , exitCode: " << result.exit_code;
  report->status = ItemStatus::kSucceeded;
  report->reboot = true;
  GetRunRecord().reboot_required = true;
  GetRunRecord().stopped_for_reboot = true;
  return true;
}

bool RunExeItem(ILwBundle* bundle, const ItemFacts& facts, ItemReport* report) {
  // Every record shows the item as ShownItemFacts does; only the start gets
  // the parameters themselves.
  const ItemFacts item = ShownItemFacts(facts, ReadSensitiveItem(bundle));
  const bool wait = ReadWaitForExit(bundle);
  const std::string system = ReadItemAttribute(bundle, "system");
  const auto log = [&](const char* text) {
    LOG(INFO) << text << LogText(item.file_path) << " , param: " << LogText(item.parameters)
              << " ,wait_for_exit: " << (wait ? "1" : "0")
              << " , system: " << NarrowLogText(system);
  };
  if (SkippedAtTheGate(system, log)) {
    report->status = ItemStatus::kSkipped;
    return true;
  }
  ShellStartOptions options = StartOptions(bundle, item, wait);
  const ExitClasses classes = ExitClassesOf(bundle, item, wait);
  log("run exe application: ");
  platform::ReadOnlyFile signed_file;
  if (ReadSignedItem(bundle)) {
    if (!OpenSignedItem(item, ItemKind::kExe, &signed_file, report)) return false;
    options.opened = &signed_file;
  }
  platform::ProgramResult result;
  switch (RunAttempts(bundle, item, facts.parameters, wait, options, classes, report, &result)) {
    case AttemptEnd::kNotStarted:
      // What was checked must run: a signed program that does not start fails.
      if (options.opened != nullptr) return FailSignedStart(item, result.start_error, report);
      report->status = ItemStatus::kNotStarted;
      return true;
    case AttemptEnd::kTimedOut:
      return false;
    case AttemptEnd::kEnded:
      break;
  }
  if (StopsForRestart(classes, result, report)) return true;
  return JudgeExitCode(bundle, item, wait, result, report);
}

bool RunSimpleDllItem(ILwBundle* bundle, const ItemFacts& item, ItemReport* report) {
  std::string entry = ReadItemAttribute(bundle, "entry");
  LOG(INFO) << "run dll: " << LogText(item.file_path) << " , entry: " << NarrowLogText(entry);
  ExitClassesOf(bundle, item, false);

  // Libraries stay loaded for the rest of the process, whatever the outcome.
  uint32_t error = 0;
  void* library = nullptr;
  const bool signed_item = ReadSignedItem(bundle);
  if (signed_item) {
    platform::ReadOnlyFile signed_file;
    if (!OpenSignedItem(item, ItemKind::kSimpleDll, &signed_file, report)) return false;
    library = platform::LoadOpenedLibrary(
        signed_file, item.file_path, platform::DependencySearch::kSystemOnly, &error);
  } else {
    library = platform::LoadLibraryFile(item.file_path, &error);
  }
  if (library == nullptr) {
    LOG(INFO) << "LoadLibrary fail: " << LogText(item.file_path) << " ,getlasterror = " << error;
    if (signed_item) return FailSignedLoad(item, error, report);
    report->status = ItemStatus::kNotStarted;
    return true;
  }
  auto function = reinterpret_cast<TaverlyItemEntry>(platform::FindExport(library, entry.c_str()));
  if (function == nullptr) {
    LOG(INFO) << "run dll fail: " << LogText(item.file_path)
              << " , entry: " << NarrowLogText(entry);
    report->status = ItemStatus::kNotStarted;
    return true;
  }
  int32_t result = function();
  report->has_result = true;
  report->result = result;
  report->status = ItemStatus::kSucceeded;
  if (!item.has_expectation || result == kExpectedLibraryResult) return true;

  report->status = ItemStatus::kFailed;
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
  SecurityBaseEntry& report = GetRunRecord().security_base;
  report.path = path;
  if (!platform::PathExists(path)) return false;
  report.present = true;
  // The file judged is the file loaded: it is opened once, judged and loaded
  // through that open file.
  platform::ReadOnlyFile file;
  if (!OpenAndVerifyFile(path, &file, &report.verdict)) {
    LOG(ERROR) << "check file sign fail, file path: " << LogText(path);
    return false;
  }
  // Neither the library nor its object is ever released.
  uint32_t error = 0;
  // Its dependencies are found as they always were.
  void* library =
      platform::LoadOpenedLibrary(file, path, platform::DependencySearch::kAsUnsigned, &error);
  if (library == nullptr) return false;
  auto factory = reinterpret_cast<TaverlySecurityBaseFactory>(
      platform::FindExport(library, TAVERLY_SECURITY_BASE_FACTORY));
  if (factory == nullptr) return false;
  static const LwGuid kInterfaceId = TAVERLY_IID_SECURITY_BASE_INIT;
  factory(&kInterfaceId, reinterpret_cast<void**>(&SecurityBaseObject()));
  if (SecurityBaseObject() == nullptr) return false;
  SecurityBaseObject()->Start();
  report.started = true;
  return true;
}

bool PluginCaller::CallPluginContainer(PhaseItemMap items) {
  // The phase's report lists the same items in the same order.
  std::vector<ItemReport> unreported;
  std::vector<ItemReport>& reports = phase_report_ != nullptr ? phase_report_->items : unreported;
  size_t index = 0;
  for (const auto& entry : items) {
    ILwBundle* bundle = entry.second;
    const ItemFacts item = ReadItemFacts(bundle, product_folder_);
    if (index >= reports.size() || reports[index].key != entry.first) {
      reports.insert(reports.begin() + static_cast<std::ptrdiff_t>(index), ItemReport());
      reports[index].key = entry.first;
    }
    ItemReport& report = reports[index];
    report.status = ItemStatus::kRunning;
    ReportProgress(index == 0);
    ++index;

    if (DoneBeforeRestart(GetRunRecord(), report, bundle)) {
      LOG(INFO) << "item done before the restart, path: " << LogText(item.file_path);
      report.status = ItemStatus::kDoneBeforeRestart;
      continue;
    }
    const auto started = std::chrono::steady_clock::now();
    bool done = true;
    switch (ItemKindOf(item.type)) {
      case ItemKind::kExe:
        done = RunExeItem(bundle, item, &report);
        break;
      case ItemKind::kSimpleDll:
        done = RunSimpleDllItem(bundle, item, &report);
        break;
      case ItemKind::kSkipped:
        report.status = ItemStatus::kSkipped;
        break;
    }
    if (report.status != ItemStatus::kSkipped) {
      report.has_duration = true;
      const auto elapsed = std::chrono::steady_clock::now() - started;
      report.duration_ms = static_cast<uint64_t>(
          std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
    }
    if (!done || GetRunRecord().stopped_for_reboot) return false;
  }
  return true;
}

bool DoFinishWork() {
  std::wstring product_folder = ProductFolderOf(GetInstallPath());
  AddFolderToProcessPath(product_folder);
  GetRunRecord().product_folder = product_folder;
  PluginCaller caller;
  caller.LoadSecurityBase();

  auto verdicts = std::make_shared<VerdictRecorder>(true);
  caller.SetCatalogue(std::make_unique<ModXmlLoader>(product_folder, verdicts));
  bool loaded = caller.catalogue()->LoadModules();
  RecordCatalogue(caller.catalogue(), *verdicts, &GetRunRecord());
  if (!loaded) return false;

  for (size_t i = 0; i < kPhaseCount; ++i) {
    const PhaseRule& phase = kPhaseRules[i];
    PhaseReport& report = GetRunRecord().phases[i];
    PhaseItemMap items = (caller.catalogue()->*phase.items)();
    report.reached = true;
    if (items.empty()) return false;
    LOG(INFO) << phase.start_line;
    caller.SetPhaseReport(&report);
    const bool succeeded = caller.CallPluginContainer(items);
    caller.SetPhaseReport(nullptr);
    if (GetRunRecord().stopped_for_reboot) {
      WriteResumeRecord(GetRunRecord(), caller.catalogue());
      return true;
    }
    if (!succeeded) {
      LOG(ERROR) << phase.failure_line;
      return false;
    }
    report.succeeded = true;
    LOG(INFO) << phase.end_line;
  }
  return true;
}
