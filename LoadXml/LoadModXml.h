// Declares the module catalogue: it finds the "mod_*.xml" files of the
// product's modularize folder, asks the installed-module filter about each,
// and collects the items of the admitted files into one ordered map per phase.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "App/FilterLoadModule.h"
#include "Bundle/LwBundle.h"

namespace rapidxml {
template <class Ch>
class xml_node;
}

enum ModulePhase {
  AfterSetup = 0,
  OpenSelfProtect = 1,
  AfterSelfProtect = 2,
};

// Item key (decimal sequence number, ordered as text, so "10" precedes "2")
// to the item's bundle.
using PhaseItemMap = std::map<std::string, ILwBundle*>;

class ModXmlLoader {
 public:
  ModXmlLoader(const std::wstring& product_folder, std::shared_ptr<IFilterCallback> filter);
  ~ModXmlLoader();
  ModXmlLoader(const ModXmlLoader&) = delete;
  ModXmlLoader& operator=(const ModXmlLoader&) = delete;

  // Empties the maps and fills them from the module folder. False when the
  // folder is missing or holds no module file, when a found file vanished, or
  // when a module file could not be parsed; the install error record then
  // says why, and items admitted before the failure stay.
  bool LoadModules();

  // Copies of the maps; the bundles in them stay valid while the loader lives.
  PhaseItemMap GetAfterSetupItems();
  PhaseItemMap GetOpenSelfProtectItems();
  PhaseItemMap GetAfterSelfProtectItems();

 private:
  bool LoadModuleFile(const std::wstring& path);
  bool ReadPhaseItems(rapidxml::xml_node<char>* setup, const std::string& phase_name,
                      ModulePhase phase);
  PhaseItemMap& MapOf(ModulePhase phase);
  bool FailMissingFile(const std::wstring& path);

  std::wstring product_folder_;
  std::mutex lock_;
  PhaseItemMap after_setup_items_;
  PhaseItemMap open_selfprotect_items_;
  PhaseItemMap after_selfprotect_items_;
  std::shared_ptr<IFilterCallback> filter_;
  // Bundles dropped by a later LoadModules; copies handed out earlier may
  // still point at them, so they are released only with the loader.
  std::vector<ILwBundle*> retired_;
};
