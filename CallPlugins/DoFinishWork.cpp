#include "CallPlugins/DoFinishWork.h"

#include <glog/logging.h>

#include <chrono>
#include <map>

#include "App/Elevate.h"
#include "App/FilterLoadModule.h"
#include "App/app.h"
#include "CallPlugins/InstallErrorRecord.h"
#include "CallPlugins/ItemOutput.h"
#include "CallPlugins/ItemRules.h"
#include "CallPlugins/LwSecurityBase.h"
#include "CallPlugins/RunReport.h"
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
            << " ,timeout: " << EscapedLogText(timeout)
            << (result.ended_all ? "" : ", only the program");
  SetErrorCode(kInstallErrorTimedOut);
  SetErrorDetail(L"exe timed out, exe file:" + item.file_path + L" ,param:" + item.parameters +
                 L" ,timeout:" + AnsiToWide(timeout));
  return false;
}

bool RunExeItem(ILwBundle* bundle, const ItemFacts& item, ItemReport* report) {
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
      report->status = ItemStatus::kSkipped;
      return true;
    case SystemGate::kSkipNeedsOtherAccount:
      tail(
          LOG(INFO) << "run exe do not need system, current is system, will not excute it, path: ");
      report->status = ItemStatus::kSkipped;
      return true;
    case SystemGate::kRun:
      break;
  }

  const Supervision supervision = DecideSupervision(wait, timeout, log_output);
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
  if (options.capture_output) options.capture_folder = App::Instance().GetLogDir();
  // The report shows this item under way while the run waits for it.
  options.while_waiting = [] { ReportProgress(false); };
  tail(LOG(INFO) << "run exe application: ");

  platform::ProgramResult result;
  if (!ShellStartProgram(item.file_path.c_str(), item.parameters.c_str(), wait, options, &result)) {
    report->status = ItemStatus::kNotStarted;
    return true;
  }
  report->has_exit_code = result.has_process;
  report->exit_code = result.exit_code;
  report->signal = result.signal;
  report->timed_out = result.timed_out;
  if (options.capture_output && !result.output_captured) {
    LOG(INFO) << "exe output not captured, path: " << EscapedLogText(item.file_path);
  }
  report->status = ItemStatus::kFailed;
  if (!ReportSupervision(item, timeout, result)) return false;
  const uint32_t exit_code = result.has_process ? result.exit_code : 0xFFFFFFFFu;

  // A code that asks for a restart means done, whatever "exitcode" lists.
  const std::string reboot_codes = ReadItemAttribute(bundle, "reboot_exitcode");
  if (wait && result.has_process && AsksForRestart(reboot_codes, exit_code)) {
    LOG(INFO) << "exitCode asks for a restart , exitCode: " << exit_code;
    report->reboot = true;
    report->status = ItemStatus::kSucceeded;
    GetRunRecord().reboot_required = true;
    return true;
  }
  report->status = ItemStatus::kSucceeded;
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

bool RunSimpleDllItem(ILwBundle* bundle, const ItemFacts& item, ItemReport* report) {
  std::string entry = ReadItemAttribute(bundle, "entry");
  LOG(INFO) << "run dll: " << LogText(item.file_path) << " , entry: " << entry;

  // Libraries stay loaded for the rest of the process, whatever the outcome.
  uint32_t error = 0;
  void* library = platform::LoadLibraryFile(item.file_path, &error);
  if (library == nullptr) {
    LOG(INFO) << "LoadLibrary fail: " << LogText(item.file_path) << " ,getlasterror = " << error;
    report->status = ItemStatus::kNotStarted;
    return true;
  }
  auto function = reinterpret_cast<TaverlyItemEntry>(platform::FindExport(library, entry.c_str()));
  if (function == nullptr) {
    LOG(INFO) << "run dll fail: " << LogText(item.file_path) << " , entry: " << entry;
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

// The installed-module filter, with each verdict kept for the run report;
// it answers and logs exactly as the filter does.
class ReportingFilter final : public IFilterCallback {
 public:
  explicit ReportingFilter(std::shared_ptr<LoadModFilter> filter) : filter_(std::move(filter)) {}
  bool IsModuleInstalled(std::wstring path) override {
    ModuleVerdict verdict;
    const bool installed = filter_->JudgeAndLog(path, &verdict);
    verdicts_[path] = verdict;
    return installed;
  }
  const std::map<std::wstring, ModuleVerdict>& verdicts() const { return verdicts_; }

 private:
  std::shared_ptr<LoadModFilter> filter_;
  std::map<std::wstring, ModuleVerdict> verdicts_;
};

// Puts what the catalogue found into the run record: the module files with
// the filter's verdicts, and every admitted item, not reached yet.
void RecordCatalogue(ModXmlLoader* catalogue, const ReportingFilter& filter) {
  RunRecord& record = GetRunRecord();
  std::map<std::string, size_t> module_of_key;
  for (const ModuleFileRecord& file : catalogue->GetModuleFileRecords()) {
    ModuleReport module;
    module.record = file;
    auto verdict = filter.verdicts().find(file.path);
    if (verdict != filter.verdicts().end()) {
      module.judged = true;
      module.verdict = verdict->second;
    }
    for (const std::string& key : file.item_keys) module_of_key[key] = record.modules.size();
    record.modules.push_back(module);
  }
  for (const PhaseRule& rule : kPhaseRules) {
    PhaseReport phase;
    phase.name = rule.element;
    for (const auto& entry : (catalogue->*rule.items)()) {
      ItemReport item;
      item.key = entry.first;
      auto module = module_of_key.find(entry.first);
      if (module != module_of_key.end()) item.module = module->second;
      item.type = ReadItemAttribute(entry.second, "type");
      item.file = ReadItemAttribute(entry.second, "file");
      item.kind = ItemKindOf(item.type);
      phase.items.push_back(item);
    }
    record.phases.push_back(phase);
  }
}

}  // namespace

PluginCaller::PluginCaller() : product_folder_(ProductFolderOf(GetInstallPath())) {}

bool PluginCaller::LoadSecurityBase() {
  std::wstring path = SecurityBasePath(product_folder_);
  SecurityBaseReport& report = GetRunRecord().security_base;
  report.path = path;
  if (!platform::PathExists(path)) return false;
  report.present = true;
  if (!VerifyFileSignature(path.c_str(), &report.verdict)) {
    LOG(ERROR) << "check file sign fail, file path: " << LogText(path);
    return false;
  }
  // Neither the library nor its object is ever released.
  uint32_t error = 0;
  void* library = platform::LoadLibraryFile(path, &error);
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
      report.duration_ms =
          static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - started)
                                    .count());
    }
    if (!done) return false;
  }
  return true;
}

bool DoFinishWork() {
  std::wstring product_folder = ProductFolderOf(GetInstallPath());
  AddFolderToProcessPath(product_folder);

  GetRunRecord().product_folder = product_folder;
  PluginCaller caller;
  caller.LoadSecurityBase();

  auto filter = std::make_shared<LoadModFilter>();
  auto reporting = std::make_shared<ReportingFilter>(filter);
  caller.SetCatalogue(std::make_unique<ModXmlLoader>(product_folder, reporting));
  bool loaded = caller.catalogue()->LoadModules();
  filter.reset();
  RecordCatalogue(caller.catalogue(), *reporting);
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
    if (!succeeded) {
      LOG(ERROR) << phase.failure_line;
      return false;
    }
    report.succeeded = true;
    LOG(INFO) << phase.end_line;
  }
  return true;
}
