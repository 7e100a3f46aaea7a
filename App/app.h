// The process-wide application object: start-up checks and the log folder.
#pragma once

#include <cstdint>
#include <string>

class App {
 public:
  static App& Instance();

  // Sets up logging, reads the command line and checks rights, the program's
  // own signature and the installation path. On refusal sets exit_code to 200,
  // 201 or 202 and answers false.
  bool Init(int32_t& exit_code);

  // Another account made the single-instance guard: InitLog says so once
  // logging is set up, and the run goes on as the only copy.
  void SetGuardHeldByOtherAccount(bool held) { guard_held_by_other_ = held; }

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

  std::wstring log_dir_;
  bool guard_held_by_other_ = false;
};
