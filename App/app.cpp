#include "App/app.h"

#include <glog/logging.h>

#include "App/Elevate.h"
#include "App/RunEvents.h"
#include "App/main.h"
#include "CallPlugins/InstallErrorRecord.h"
#include "CmdParser/CommandParser.h"
#include "Platform/files/files.h"
#include "Platform/system/system.h"
#include "Utils/FileUtils.h"
#include "Utils/LogText.h"
#include "Utils/PathUtils.h"

namespace {

// The INFO file's base name. The file must be called
// Taverly.<host>.<user>.log.INFO.log_<yyyymmdd-hhmmss>.<pid>; this glog
// version appends its file-name extension after the process id, so "log_"
// ends the base name instead, after which glog adds the time stamp and pid.
std::string InfoLogBaseName(const std::string& folder) {
  std::string base = folder;
  if (!base.empty()) base += static_cast<char>(platform::kPathSeparator);
  // Neither name may lead the file out of the log folder.
  return base + "Taverly." + FileNamePart(platform::LogHostName()) + "." +
         FileNamePart(platform::LogUserName()) + ".log.INFO.log_";
}

}  // namespace

bool App::Init(int32_t& exit_code) {
  InitLog();
  {
    platform::DescriptorsFreed freed;
    ParseCommandLine();
  }

  if (!undo_understood_) {
    // Run as usual, it would install what an uninstaller asked to take back;
    // the result file must not go on telling an earlier run's success.
    run_.errors.SetErrorCode(kInstallErrorExitCode);
    run_.errors.SetErrorDetail(L"undo option not understood");
    WriteFailureResult(run_);
    exit_code = 210;
    return false;
  }
  if (!CheckAdminPrivilege()) {
    exit_code = 200;
    return false;
  }
  LogInstanceClaim();
  if (!reserve_kept_) {
    // Neither its own file nor the result file could be opened: the run
    // would report a change of its own program, or nothing, for a success.
    LOG(ERROR) << "too few descriptors to run, the run ends";
    exit_code = 210;
    return false;
  }

  bool own_signature = false;
  {
    // Its own file must be read even by a run short of descriptors, or the
    // run would call itself changed.
    platform::DescriptorsFreed freed;
    own_signature = VerifyFileSignature(platform::OwnExecutablePath().c_str());
  }
  if (!own_signature) {
    LOG(INFO) << "Current exe is not signed, just exit...";
    exit_code = 201;
    return false;
  }

  const std::string& install_path = run_.install_path();
  if (!platform::PathExists(AnsiToWide(install_path))) {
    LOG(INFO) << "The incoming installation path does not exist, path:"
              << NarrowLogText(install_path) << ", just exit...";
    exit_code = 202;
    return false;
  }
  return true;
}

void App::InitLog() {
  run_.log_folder = GetLogDir();
  run_.result_file = GetResultFilePath();
  run_.report_file = GetRunReportPath();
  std::string folder = WideToAnsi(run_.log_folder);
  // A folder that cannot be created, or that another account could have
  // planted, gets no log file; every line still reaches standard error.
  bool usable = false;
  {
    platform::DescriptorsFreed freed;
    usable = platform::PrepareLogFolder(AnsiToWide(folder));
  }
  // Short of descriptors the log file would take one of those kept aside.
  const bool log_file = usable && platform::DescriptorToSpare();

  google::InitGoogleLogging("Taverly");
  google::SetLogDestination(google::GLOG_ERROR, "");
  google::SetLogDestination(google::GLOG_WARNING, "");
  google::SetStderrLogging(google::GLOG_INFO);
  google::SetLogDestination(google::GLOG_INFO, log_file ? InfoLogBaseName(folder).c_str() : "");
  FLAGS_log_dir = folder;
  FLAGS_logtostderr = false;
  FLAGS_alsologtostderr = true;
  FLAGS_colorlogtostderr = true;
  FLAGS_logbufsecs = 0;
  FLAGS_max_log_size = 10;
  FLAGS_stop_logging_if_full_disk = true;
  // The log holds item parameters and output: the owner's alone (POSIX).
  FLAGS_logfile_mode = 0600;

  if (!usable) {
    LOG(ERROR) << "log folder cannot be used, path: " << NarrowLogText(folder);
    // Whoever planted the folder may have put a result file there that says
    // success; this run, refused or not, cannot write one of its own.
    remove_outdated_result_(run_.result_file);
  }
  if (usable && !log_file) {
    LOG(ERROR) << "too few descriptors for a log file, every line goes to standard error";
  }
  if (claim_ == platform::InstanceClaim::kHeldByOtherAccount) {
    LOG(ERROR) << "single instance mutex held by another account, going on";
  }
}

void App::LogInstanceClaim() {
  // After the privilege check: a process without the rights the run needs
  // cannot open the guard either, and is refused anyway.
  switch (claim_) {
    case platform::InstanceClaim::kNoHandle:
      LOG(ERROR) << "single instance mutex cannot be opened, GLE: " << claim_error_ << ", going on";
      break;
    case platform::InstanceClaim::kMadeAnew:
      LOG(ERROR) << "single instance lock file was a link or not a regular file, made anew";
      break;
    case platform::InstanceClaim::kOnlyCopy:
    case platform::InstanceClaim::kAlreadyRunning:
    case platform::InstanceClaim::kHeldByOtherAccount:
      break;
  }
}

void App::ParseCommandLine() {
  std::string install_path;
  std::string event_records;
  bool event_records_given = false;
  for (const std::string& argument : CommandParser::GetArguments()) {
    CommandParser::ParseOption(install_path, argument, CommandParser::kInstallPathOption);
    event_records_given |= CommandParser::ParseOption(event_records, argument, kEventRecordsOption);
    ParseUndoFlag(argument);
  }
  run_.SetInstallPath(install_path);
  if (!event_records_given) return;
  bool understood = true;
  run_.event_records = EventRecordsValue(event_records, &understood);
  if (!understood) {
    LOG(ERROR) << "event records option not understood, records stay on, value: "
               << NarrowLogText(event_records);
  }
}

void App::ParseUndoFlag(const std::string& argument) {
  switch (CommandParser::ParseFlag(argument, CommandParser::kUndoOption)) {
    case CommandParser::FlagMatch::kGiven:
      run_.undo_requested = true;
      break;
    case CommandParser::FlagMatch::kMisspelt:
      LOG(ERROR) << "undo option not understood, nothing is run, value: "
                 << NarrowLogText(argument);
      undo_understood_ = false;
      break;
    case CommandParser::FlagMatch::kNone:
      break;
  }
}

bool App::CheckAdminPrivilege() {
  if (IsProcessElevated()) return true;
  LOG(INFO) << "No administrator privileges, just exit...";
  return false;
}

std::wstring AccountLogFolder() {
  return platform::CombinePath(platform::TempFolder(), L"hoxinst_log");
}

std::wstring App::GetLogDir() {
  if (run_.log_folder.empty()) run_.log_folder = AccountLogFolder();
  return run_.log_folder;
}

std::wstring App::GetResultFilePath() {
  return GetLogDir() + platform::kPathSeparator + L"TaverlyResultInfo.dat";
}

std::wstring App::GetRunReportPath() {
  return GetLogDir() + platform::kPathSeparator + L"TaverlyRunReport.json";
}
