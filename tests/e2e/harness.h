// Runs the real Taverly executable on product folders built in temporary
// folders, and reads back what it left: exit code, output, log and result file.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/temp_folder.h"

namespace e2e {

// One parsed line of the glog file.
struct LogLine {
  char severity = 0;     // 'I' or 'E'
  std::string location;  // "app.cpp:42"
  std::string message;
};

struct RunResult {
  int exit_code = -1;
  int pid = 0;
  std::string out;  // standard output
  std::string err;  // standard error
};

struct RunOptions {
  std::vector<std::string> arguments;   // after the program name
  std::string program;                  // default: the built Taverly
  bool as_nobody = false;               // run with uid/gid 65534
  std::map<std::string, std::string> env;  // added to / replacing the environment
  std::vector<std::string> unset_env;
};

// Builds product folders: module files, the module list, item programs.
class Product {
 public:
  explicit Product(std::string folder);
  const std::string& folder() const { return folder_; }
  std::string Path(const std::string& relative) const { return folder_ + "/" + relative; }

  // Writes modularize/<file_name> from phase bodies (each the text inside
  // <after_setup> etc.; an empty string leaves the phase element out).
  void AddModuleFile(const std::string& file_name, const std::string& after_setup,
                     const std::string& open_selfprotect, const std::string& after_selfprotect);
  // Writes modularize/module_config.dat listing these modules with state "1".
  void SetInstalledModules(const std::vector<std::string>& names);
  // Copies the probe program into the product as relative name.
  void AddProbe(const std::string& relative) const;
  void AddFile(const std::string& relative, const std::string& source) const;

 private:
  std::string folder_;
};

// An item element for a module file.
std::string Item(const std::map<std::string, std::string>& attributes);

// The records the probe program appended to a file: one list of lines per run.
struct ProbeRun {
  std::vector<std::string> args;
  std::string cwd;
  std::string path;
};
std::vector<ProbeRun> ReadProbeRecords(const std::string& file);

// Fixture: a fresh TMPDIR per test, so each run has its own log folder.
class TaverlyTest : public ::testing::Test {
 protected:
  TaverlyTest();

  RunResult Run(const RunOptions& options);
  RunResult RunWithInstallPath(const std::string& path);

  std::string TempDir() const { return tmp_.Join("tmp"); }
  std::string LogDir() const { return TempDir() + "/hoxinst_log"; }
  std::string ResultFile() const { return LogDir() + "/TaverlyResultInfo.dat"; }
  // Regular files in the log folder.
  std::vector<std::string> LogFileNames() const;
  // The lines of the run's single log file (fails the test when not exactly one).
  std::vector<LogLine> LogLines() const;
  // The messages of LogLines() with their severity letter: "I:text", "E:text".
  std::vector<std::string> Messages() const;

  TempFolder tmp_;
  Product product_;
};

// Paths of what the build produced, fixed at configure time.
std::string TaverlyBinary();
std::string SignTool();
std::string DevKey(int index);
std::string ProbeProgram();

}  // namespace e2e
