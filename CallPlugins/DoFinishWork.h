// The finishing work: the security base, the module catalogue and the three
// plugin phases.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "CallPlugins/RunContext.h"
#include "CallPlugins/RunReport.h"
#include "LoadXml/LoadModXml.h"

// Runs the whole finishing work of run; true when every phase ran to its
// end. A run that stops for a restart leaves its restart record (where
// TakeRestartRecord found it).
bool DoFinishWork(RunContext& run);

class PluginCaller {
 public:
  explicit PluginCaller(RunContext& run);

  // Verifies, loads and starts the product's security base; best effort.
  bool LoadSecurityBase();
  // Runs the items of one phase in key order; false at the first failed item.
  bool CallPluginContainer(PhaseItemMap items);

  void SetCatalogue(std::unique_ptr<ModXmlLoader> catalogue) { catalogue_ = std::move(catalogue); }
  ModXmlLoader* catalogue() const { return catalogue_.get(); }
  // Where CallPluginContainer reports its items for the run report (none: nowhere).
  void SetPhaseReport(PhaseReport* report) { phase_report_ = report; }

 private:
  RunContext& run_;  // its product folder, records and account
  std::unique_ptr<ModXmlLoader> catalogue_;
  PhaseReport* phase_report_ = nullptr;
};
