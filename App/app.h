// The process-wide application object: start-up checks and the log folder.
#pragma once

#include <cstdint>
#include <string>

#include "Platform/platform.h"

class App {
 public:
  static App& Instance();

  // Sets up logging, reads the command line and checks rights, the program's
  // own signature and the installation path. On refusal sets exit_code to 200,
  // 201 or 202 and answers false.
  bool Init(int32_t& exit_code);

  // What became of the single-instance guard (error: why it could not be
  // opened): start-up says what another account, or a broken guard, left
  // once logging is set up, and the run goes on as the only copy.
  void SetInstanceClaim(platform::InstanceClaim claim, uint32_t error) {
    claim_ = claim;
    claim_error_ = error;
  }

  void InitLog();
  void ParseCommandLine();
  bool CheckAdminPrivilege();

  // The temporary folder of the account followed by "hoxinst_log"; computed once.
  std::wstring GetLogDir();
  // The log folder followed by the result file's name; computed on every call.
  std::wstring GetResultFilePath();
  // The log folder followed by the run report's name, "TaverlyRunReport.json".
  std::wstring GetRunReportPath();

 private:
  App() = default;

  // Says what the guard claim left that a run should know of.
  void LogInstanceClaim();

  std::wstring log_dir_;
  platform::InstanceClaim claim_ = platform::InstanceClaim::kOnlyCopy;
  uint32_t claim_error_ = 0;
};
