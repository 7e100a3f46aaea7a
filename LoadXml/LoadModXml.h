// Declares the module catalogue: it finds the "mod_*.xml" files of the
// product's modularize folder, asks the installed-module filter about each,
// and collects the items of the admitted files into one ordered map per phase.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Bundle/LwBundle.h"
#include "LoadXml/ModuleFilter.h"

struct InstallErrorRecord;

namespace rapidxml {
template <class Ch>
class xml_node;
}

enum ModulePhase {
  AfterSetup = 0,
  OpenSelfProtect = 1,
  AfterSelfProtect = 2,
};

// Item key (decimal sequence number of the loader, ordered as text, so "10"
// precedes "2") to the item's bundle.
using PhaseItemMap = std::map<std::string, ILwBundle*>;

// What the last LoadModules did with one name that the search returned.
struct ModuleFileRecord {
  enum Outcome {
    kNameTooShort,  // nothing between "mod_" and the extension: skipped unasked
    kMissing,       // vanished after the search: the scan ended here
    kNotAdmitted,   // the filter said no (or there was no filter)
    kNoSetup,       // admitted, but unreadable, empty or without root/module/setup
    kLoaded,        // admitted and read
    kParseFailed,   // the filter or the parser threw: the scan ended here
  };
  std::wstring path;
  Outcome outcome = kNotAdmitted;
  std::vector<std::string> item_keys;  // keys of the items it gave, in load order
  int dropped_items = 0;               // items without a non-empty "file"
};

// Returns the stable name of an outcome for tools and reports: "loaded",
// "not-admitted", ...
const char* ModuleOutcomeName(ModuleFileRecord::Outcome outcome);

class ModXmlLoader {
 public:
  // Records its failures in errors, which must outlive it.
  ModXmlLoader(const std::wstring& product_folder, std::shared_ptr<IFilterCallback> filter,
               InstallErrorRecord* errors);
  ~ModXmlLoader();
  ModXmlLoader(const ModXmlLoader&) = delete;
  ModXmlLoader& operator=(const ModXmlLoader&) = delete;

  // Empties the maps and fills them from the module folder. False when the
  // folder is missing or holds no module file, when a found file vanished, or
  // when a module file could not be parsed; the install error record then
  // says why, and items admitted before the failure stay. Keys go on counting
  // from the last load, so they never repeat within a loader (a run has one).
  bool LoadModules();

  // Copies of the maps; the bundles in them stay valid while the loader lives.
  PhaseItemMap GetAfterSetupItems();
  PhaseItemMap GetOpenSelfProtectItems();
  PhaseItemMap GetAfterSelfProtectItems();

  // Returns the files of the last LoadModules in search order, with what
  // became of each; kept so that a plan can explain a run.
  std::vector<ModuleFileRecord> GetModuleFileRecords() const;

 private:
  bool LoadModuleFile(const std::wstring& path);
  bool ReadPhaseItems(rapidxml::xml_node<char>* setup, const std::string& phase_name,
                      ModulePhase phase);
  PhaseItemMap& MapOf(ModulePhase phase);
  bool FailMissingFile(const std::wstring& path);
  void AddRecord(const std::wstring& path, ModuleFileRecord::Outcome outcome);
  void SetLastOutcome(ModuleFileRecord::Outcome outcome);

  std::wstring product_folder_;
  mutable std::mutex lock_;
  PhaseItemMap after_setup_items_;
  PhaseItemMap open_selfprotect_items_;
  PhaseItemMap after_selfprotect_items_;
  int32_t item_sequence_ = 0;  // under lock_
  std::shared_ptr<IFilterCallback> filter_;
  InstallErrorRecord* errors_;
  std::vector<ModuleFileRecord> records_;  // of the last LoadModules
  // Bundles dropped by a later LoadModules; copies handed out earlier may
  // still point at them, so they are released only with the loader.
  std::vector<ILwBundle*> retired_;
};
