// What one run knows, in one object: App builds it and hands it down, and
// each step reads the part it needs and changes the records it is handed.
// taverly-plan, the benchmarks and the fuzz targets build their own.
#pragma once

#include <string>

#include "CallPlugins/InstallErrorRecord.h"
#include "CallPlugins/ItemSystem.h"
#include "CallPlugins/RestartRecord.h"
#include "CallPlugins/RunReport.h"
#include "CallPlugins/UndoLedger.h"
#include "CallPlugins/UndoResume.h"

// The account the run is under, asked once as the run starts.
struct RunAccount {
  std::string name;
  bool system = false;  // the system's own account (SYSTEM, root on POSIX)
};

class RunContext {
 public:
  // Sets the installation path as "--installpath=" gave it, and the product
  // folder, worked out from it here and nowhere else.
  void SetInstallPath(const std::string& install_path);
  const std::string& install_path() const { return install_path_; }
  // The installation path in wide text (empty for an empty path): the base of
  // item paths and the value of "%productpath%".
  const std::wstring& product_folder() const { return product_folder_; }

  // The log folder, and the result file and the run report in it.
  std::wstring log_folder;
  std::wstring result_file;
  std::wstring report_file;
  RunAccount account;
  // The run's records in the system's event log ("--event-records=off": none).
  bool event_records = true;
  // "--undo": the run takes back what the product's last run did, and runs
  // no phase.
  bool undo_requested = false;
  RunRecord record;            // what the run did, for the run report
  InstallErrorRecord errors;   // why it failed, for the result file
  RestartSession restart;      // the restart record taken, and where it lies
  UndoJournalSession journal;  // the product's undo journal, found and written
  ProgressReporter progress;   // the run report while the run goes on
  // The items that can be taken back, in the order they ended, and the
  // rollback's state (UndoLedger.h); empty for a product without undo.
  UndoLedger undo;
  // The undo running now, for a library's undo entry that ends the process.
  UndoUnderWay undo_under_way;
  // What items are started and loaded through: the system, or a test's script.
  ItemSystem* items = &PlatformItemSystem();

 private:
  std::string install_path_;
  std::wstring product_folder_;
};
