#include "CallPlugins/ItemSteps.h"

#include <glog/logging.h>

#include <chrono>
#include <thread>

#include "CallPlugins/ItemConditions.h"
#include "CallPlugins/SignedItems.h"
#include "Platform/files/files.h"
#include "Platform/system/system_state.h"
#include "Utils/FileUtils.h"
#include "Utils/LogText.h"
#include "Utils/PathUtils.h"

namespace {

// How often a busy installer is asked again while an item waits for it.
constexpr auto kInstallerPoll = std::chrono::milliseconds(250);

// The attributes of the conditions and of the installer wait that the item
// does not use, each in its line.
void LogUnusedConditions(const Item& item) {
  for (const UnusedAttribute& unused : item.unused) {
    if (unused.stage != UnusedStage::kConditions || unused.line != UnusedLine::kNotUsed) continue;
    LOG(INFO) << unused.name << " not used, path: " << EscapedLogText(item.path) << " ,"
              << unused.name << ": " << item.ShownText(unused);
  }
}

void FailItem(RunContext& run, const std::wstring& detail) {
  run.errors.SetErrorCode(kInstallErrorExitCode);
  run.errors.SetErrorDetail(detail);
}

// The line, the record and the report of a verdict that does not let the
// item run. True when the item counts as done.
bool ReportVerdict(RunContext& run, const Item& item, const ConditionVerdict& verdict,
                   ItemReport* report) {
  const std::string head = std::string(", path: ") + EscapedLogText(item.path) + " ," +
                           verdict.attribute + ": " + EscapedLogText(verdict.text);
  const std::wstring named = L" ,file:" + item.path + L" ," + AnsiToWide(verdict.attribute) + L":" +
                             AnsiToWide(verdict.text);
  report->status = ItemStatus::kFailed;
  switch (verdict.outcome) {
    case ConditionOutcome::kPassOver:
      LOG(INFO) << "item passed over" << head
                << (verdict.has_exit_code ? " ,exit code: " + std::to_string(verdict.exit_code)
                                          : std::string())
                << (verdict.signal.empty() ? std::string()
                                           : " ,signal: " + EscapedLogText(verdict.signal));
      report->status = ItemStatus::kSkipped;
      report->skipped_by = verdict.attribute;
      return true;
    case ConditionOutcome::kCannotJudge:
      report->failed_by = verdict.attribute;
      LOG(INFO) << "condition cannot be evaluated" << head << " ,error: " << verdict.error;
      FailItem(
          run,
          L"condition cannot be evaluated" + named + L" ,error:" + std::to_wstring(verdict.error));
      return false;
    case ConditionOutcome::kProgramFailed:
    case ConditionOutcome::kProgramNotRun:
    case ConditionOutcome::kRun:
      break;
  }
  std::string why = verdict.timed_out       ? " ,timed out"
                    : verdict.has_exit_code ? " ,exit code: " + std::to_string(verdict.exit_code)
                    : verdict.ended_by != 0
                        ? " ,ended by signal: " + std::to_string(verdict.ended_by)
                        : " ,not started, error: " + std::to_string(verdict.error);
  report->failed_by = verdict.attribute;
  LOG(INFO) << "if_program failed" << head << why;
  FailItem(run, L"if_program failed" + named + AnsiToWide(why));
  return false;
}

}  // namespace

std::string NotStartedReason(const std::wstring& file, const platform::ProgramResult& result) {
  if (result.arguments_too_long) return kParametersTooLong;
  if (result.start_error != 0) return platform::ErrorText(result.start_error);
  switch (CheckShellOpenFile(file.c_str())) {
    case ShellOpenRefusal::kNoFile:
      return "no file is named";
    case ShellOpenRefusal::kPathTooLong:
      return "the path is longer than 260 characters";
    case ShellOpenRefusal::kMissing:
      return "the file does not exist";
    case ShellOpenRefusal::kNone:
      break;
  }
  return "the start failed";
}

void LogNotStarted(const Item& item, const platform::ProgramResult& result) {
  LOG(INFO) << "item not started, path: " << EscapedLogText(item.path)
            << " ,reason: " << EscapedLogText(NotStartedReason(item.path, result));
}

platform::ProgramRequest StartRequest(RunContext& run, const Item& item) {
  platform::ProgramRequest request;
  request.file = item.path;
  request.parameters = item.parameters;
  request.wait = item.wait;
  request.timeout_ms = item.timeout_seconds * 1000u;
  request.capture_output = item.capture_output;
  // The report shows this item under way while the run waits for it.
  request.while_waiting = [&run] { run.progress.Report(false); };
  return request;
}

void* LoadItemLibrary(RunContext& run, const Item& item, ItemReport* report, bool* refused,
                      uint32_t* error) {
  *refused = false;
  if (!item.signed_item) return run.items->Load(item.path, nullptr, error);
  platform::ReadOnlyFile signed_file;
  if (!OpenSignedItem(*run.items, run.errors, item, &signed_file, report)) {
    *refused = true;
    return nullptr;
  }
  return run.items->Load(item.path, &signed_file, error);
}

bool ConditionsLetItemRun(RunContext& run, const Item& item, ItemReport* report, bool* done) {
  LogUnusedConditions(item);
  *done = true;
  if (!item.conditions.Any()) return true;
  // The report shows the item under way while its if_program runs.
  SystemAnswers system([&run] { run.progress.Report(false); });
  const ConditionVerdict verdict =
      JudgeConditions(item.conditions, run.items->Conditions(system), true);
  if (verdict.outcome == ConditionOutcome::kRun) return true;
  *done = ReportVerdict(run, item, verdict, report);
  return false;
}

bool InstallerLetsItemStart(RunContext& run, const Item& item) {
  if (item.installer_wait_seconds == 0 || !platform::InstallerBusy()) return true;
  LOG(INFO) << "installer busy, waiting, path: " << EscapedLogText(item.path)
            << " ,wait_for_installer: " << EscapedLogText(item.wait_for_installer);
  const auto began = std::chrono::steady_clock::now();
  const auto deadline = began + std::chrono::seconds(item.installer_wait_seconds);
  bool busy = true;
  while (busy && std::chrono::steady_clock::now() < deadline &&
         platform::EndRequestName() == nullptr) {
    std::this_thread::sleep_for(kInstallerPoll);
    run.progress.Report(false);
    busy = platform::InstallerBusy();
  }
  if (busy) {
    LOG(INFO) << "installer still busy, path: " << EscapedLogText(item.path)
              << " ,exit code: " << kInstallerBusyExitCode;
    return false;
  }
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - began);
  LOG(INFO) << "installer no longer busy, path: " << EscapedLogText(item.path)
            << " ,waited ms: " << waited.count();
  return true;
}

platform::ProgramResult BusyInstallerResult() {
  platform::ProgramResult result;
  result.started = true;
  result.has_process = true;
  result.exit_code = kInstallerBusyExitCode;
  return result;
}

bool RunEndRequested(RunContext& run) {
  if (run.record.ended_by != nullptr) return true;
  const char* signal = platform::EndRequestName();
  if (signal == nullptr) return false;
  run.record.ended_by = signal;
  LOG(ERROR) << "run ended by signal " << signal << ", no further item is started";
  run.errors.SetErrorCode(kInstallErrorEndedFromOutside);
  run.errors.SetErrorDetail(L"run ended by signal " + AnsiToWide(signal));
  return true;
}
