// The application object: start-up checks, the log folder, and the run
// context it builds for the run (RunTaverly holds the one object).
#pragma once

#include <cstdint>
#include <string>

#include "CallPlugins/RunContext.h"
#include "Platform/system/system.h"
#include "Rules/instance_guard.h"

// The log folder of the account the process runs under: its temporary
// folder followed by "hoxinst_log".
std::wstring AccountLogFolder();

// How start-up removes a result file it cannot trust: the entry's
// RemoveOutdatedResultFile (App/main.h), as the result file is the entry's.
using ResultFileRemover = void (*)(const std::wstring& path);

class App {
 public:
  explicit App(ResultFileRemover remove_outdated_result)
      : remove_outdated_result_(remove_outdated_result) {}

  // Sets up logging, reads the command line and checks rights, the program's
  // own signature and the installation path, filling the run context as it
  // goes. On refusal sets exit_code to 200, 201 or 202 (210: an option
  // like "--undo" that is not it, with the failure form of the result file)
  // and answers false.
  bool Init(int32_t& exit_code);

  // What became of the single-instance guard (error: why it could not be
  // opened): start-up says what another account, or a broken guard, left
  // once logging is set up, and the run goes on as the only copy.
  void SetInstanceClaim(platform::InstanceClaim claim, uint32_t error) {
    claim_ = claim;
    claim_error_ = error;
  }

  // Whether descriptors could be kept aside for the end of the run: without
  // them start-up ends the run with 210, as it could not say its outcome.
  void SetDescriptorReserve(bool kept) { reserve_kept_ = kept; }

  // Sets up logging in the log folder, whose paths it puts into the run context.
  void InitLog();
  // Puts the installation path of the command line into the run context.
  void ParseCommandLine();
  bool CheckAdminPrivilege();

  // The temporary folder of the account followed by "hoxinst_log"; computed once.
  std::wstring GetLogDir();
  // The log folder followed by the result file's name; computed on every call.
  std::wstring GetResultFilePath();
  // The log folder followed by the run report's name, "TaverlyRunReport.json".
  std::wstring GetRunReportPath();

  // What the run knows; Init fills it, the run's steps are handed it.
  RunContext& run() { return run_; }

 private:
  // Says what the guard claim left that a run should know of.
  void LogInstanceClaim();
  // Notes "--undo"; anything else that begins with it is refused with a line.
  void ParseUndoFlag(const std::string& argument);

  ResultFileRemover remove_outdated_result_;
  RunContext run_;
  platform::InstanceClaim claim_ = platform::InstanceClaim::kOnlyCopy;
  uint32_t claim_error_ = 0;
  bool reserve_kept_ = true;
  bool undo_understood_ = true;
};
