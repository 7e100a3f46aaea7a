// Runs the real Taverly executable on product folders built in temporary
// folders, and reads back what it left: exit code, output, log and result file.
// The same suite runs the native program or the Windows program under Wine;
// Target holds everything in which the two differ.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/temp_folder.h"

namespace e2e {

// The program under test and the world it sees. Chosen once per process by
// TAVERLY_E2E_TARGET: unset or "native" runs the programs of this build;
// "wine" runs the Windows programs named by TAVERLY_E2E_BINARY,
// TAVERLY_E2E_PROBE, TAVERLY_E2E_PROBE_LIBRARY, TAVERLY_E2E_SECURITY_BASE,
// TAVERLY_E2E_ORIGIN_LIBRARY, TAVERLY_E2E_ORIGIN_DEPENDENCY and
// TAVERLY_E2E_ORIGIN_PROGRAM with
// TAVERLY_E2E_WINE in the prefix WINEPREFIX.
struct Target {
  std::string name;                        // "native" or "wine"
  bool windows = false;                    // the program is the Windows one
  bool sanitized = false;                  // the programs carry the sanitizers' runtime
  std::vector<std::string> launcher;       // put before the program's path to start it
  std::map<std::string, std::string> env;  // added to every start

  // Build outputs, as paths on this machine.
  std::string taverly;
  std::string probe;
  std::string probe_library;
  std::string security_base;
  // A library and a program that need the dependency, found in their own folder.
  std::string origin_library;
  std::string origin_dependency;
  std::string origin_program;

  char separator = '/';            // joins folder and name in the program's paths
  char path_list_separator = ':';  // between PATH entries
  std::string executable_suffix;   // "" or ".exe"
  std::string library_suffix;      // ".so" or ".dll"
  std::string security_base_name;  // the name the program loads from the product folder
  std::string line_break;          // ends the lines of the log, the result file and stderr

  // Native runs get a temporary folder per test (TMPDIR); under Wine the
  // account's own temporary folder is fixed, so each test clears the log
  // folder in it first.
  bool temp_per_test = true;
  std::string account_temp;  // this machine's path of the Wine account's one

  bool system_account = true;          // the program runs as the system's own account
  bool reports_pid = true;             // the started process's id is the program's
  std::string log_host;                // host name in log file names
  std::string fixed_log_user;          // user name in log file names, when not from USER
  uint32_t missing_library_error = 2;  // the loader's error for a library that is not there
  uint32_t bad_format_error = 8;       // the error of a start or load of a file of no known format
  long ignored_byte_offset = 9;        // a byte of the program that its loader never reads

  // Spells a path of this machine the way the program sees it (Z:\... under Wine).
  std::string Spell(const std::string& host_path) const;
  // A relative name ("bin/probe") in the program's spelling.
  std::string Relative(const std::string& relative) const;
  // Names of built files: "bin/probe" → "bin/probe.exe"; "lib/probe" → "lib/probe.dll".
  std::string Program(const std::string& stem) const { return stem + executable_suffix; }
  std::string Library(const std::string& stem) const { return stem + library_suffix; }
  // Joins lines the way the program writes them, a break after each.
  std::string IniText(const std::vector<std::string>& lines) const;
};

// The target of this run of the suite.
const Target& target();

// One parsed line of the glog file.
struct LogLine {
  char severity = 0;     // 'I' or 'E'
  std::string location;  // "app.cpp:42"
  std::string message;
};

// The log lines in a text (a log file, or what the program wrote to stderr).
std::vector<LogLine> ParseLogLines(const std::string& text);
// The lines' messages with their severity letter: "I:text", "E:text".
std::vector<std::string> MessagesOf(const std::vector<LogLine>& lines);

struct RunResult {
  int exit_code = -1;
  int pid = 0;      // the program's process id, 0 when the target does not tell it
  std::string out;  // standard output
  std::string err;  // standard error
};

struct RunOptions {
  std::vector<std::string> arguments;      // after the program name
  std::string program;                     // default: the built Taverly
  bool as_nobody = false;                  // run with uid/gid 65534 (native only)
  bool stderr_closed = false;              // start it with standard error closed
  bool stderr_unread = false;              // standard error a pipe whose reader is gone (native)
  std::map<std::string, std::string> env;  // added to / replacing the environment
  std::vector<std::string> unset_env;
  // Native programs that start it (setpriv, prlimit), with no descriptor
  // but the standard ones, whatever the test runner left open.
  std::vector<std::string> wrapper;
};

// A program started and not yet waited for.
struct Process {
  int pid = 0;
  std::string out_file;
  std::string err_file;
};

// Builds product folders: module files, the module list, item programs.
class Product {
 public:
  explicit Product(std::string folder);
  // The folder and its files as paths of this machine.
  const std::string& folder() const { return folder_; }
  std::string Path(const std::string& relative) const { return folder_ + "/" + relative; }
  // The same, spelled the way the program sees them.
  std::string TargetFolder() const { return target().Spell(folder_); }
  std::string TargetPath(const std::string& relative) const {
    return target().Spell(Path(relative));
  }

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

// The calls recorded in one file, in order: the probe's "--tag=" values and,
// as "dll:<entry>", the probe library's entries.
std::vector<std::string> ReadCalls(const std::string& file);

// Waits until file holds text `times` times (a program started in the
// background got there); false after timeout_ms.
bool WaitForText(const std::string& file, const std::string& text, int timeout_ms = 30000,
                 int times = 1);

// Fixture: a fresh product folder and log folder per test.
class TaverlyTest : public ::testing::Test {
 protected:
  TaverlyTest();
  ~TaverlyTest() override;

  RunResult Run(const RunOptions& options);
  // Starts without waiting; Wait collects the result.
  Process Start(const RunOptions& options);
  RunResult Wait(const Process& process);
  // Runs Taverly with --installpath= and the folder of this machine, spelled
  // for the program.
  RunResult RunWithInstallPath(const std::string& path);

  // The account's temporary folder, log folder and result file as paths of
  // this machine, for reading what the program left.
  std::string TempDir() const;
  std::string LogDir() const { return TempDir() + "/hoxinst_log"; }
  std::string ResultFile() const { return LogDir() + "/TaverlyResultInfo.dat"; }
  std::string ReportFile() const { return LogDir() + "/TaverlyRunReport.json"; }
  // The same log folder and result file as the program names them.
  std::string TargetLogDir() const { return target().Spell(LogDir()); }
  std::string TargetResultFile() const { return target().Spell(ResultFile()); }
  // The log files in the log folder: its regular files but the result file,
  // the run report, the restart records, the undo journals (and a Windows item's output file a
  // process still holds).
  std::vector<std::string> LogFileNames() const;
  // The lines of the run's single log file (fails the test when not exactly one).
  std::vector<LogLine> LogLines() const;
  // The messages of LogLines() with their severity letter: "I:text", "E:text".
  std::vector<std::string> Messages() const;

  TempFolder tmp_;
  Product product_;

 private:
  int started_ = 0;
};

// Fixture: a product holding the probe program, with module "core" installed.
class ProductTest : public TaverlyTest {
 protected:
  ProductTest();

  // An Exe item that runs the probe and waits, the probe recording its run
  // with tag in <product>/calls.txt; extra attributes add to or replace these.
  std::string Probe(const std::string& tag,
                    const std::map<std::string, std::string>& extra = {}) const;
  // The tags of the probe runs and the entries of library calls, in order.
  std::vector<std::string> Calls() const { return ReadCalls(product_.Path("calls.txt")); }
  // A file of the product as the program names it.
  std::string At(const std::string& relative) const { return product_.TargetPath(relative); }
  // A value of the result file; "<absent>" when it has none.
  std::string Result(const std::string& section, const std::string& key) const;
  RunResult RunProduct() { return RunWithInstallPath(product_.folder()); }
  // taverly-plan, which lands beside Taverly, on the product.
  RunResult PlanProduct(const std::vector<std::string>& more_arguments = {});

  const std::string probe_ = target().Program("bin/probe");
};

// Paths of what the build produced.
std::string TaverlyBinary();
std::string PlanBinary();  // beside Taverly
std::string SignTool();
std::string DevKey(int index);
std::string ProbeProgram();

}  // namespace e2e
