// What the plan of a run and the report of a run both tell: the module
// files with the filter's verdicts, the security base and the phases. The
// plan (taverly-plan) fills them with what a run would do, the runner with
// what it did; each keeps its own view of an item (CallPlugins/Item.h).
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "App/FilterLoadModule.h"
#include "LoadXml/LoadModXml.h"
#include "Signing/SignatureBlock.h"

struct ModuleEntry {
  ModuleFileRecord record;
  bool judged = false;  // the filter was asked
  ModuleVerdict verdict;
};

// The security-base library: product folder + separator + its file name.
std::wstring SecurityBasePath(const std::wstring& product_folder);

struct SecurityBaseEntry {
  std::wstring path;
  bool present = false;                            // a file is there
  signing::Verdict verdict = signing::kNotSigned;  // when present
  bool accepted = false;                           // the verdict lets it be loaded
  bool started = false;                            // the run loaded and started it
};

// One row of the phase table, in run order.
struct PhaseRule {
  const char* element;  // the phase element of a module file
  PhaseItemMap (ModXmlLoader::*items)();
  const char* start_line;
  const char* failure_line;
  const char* end_line;
};
constexpr size_t kPhaseCount = 3;
extern const PhaseRule kPhaseRules[kPhaseCount];

template <typename ItemView>
struct PhaseEntry {
  std::string name;
  bool reached = false;
  bool succeeded = false;       // every item passed (the run's)
  std::vector<ItemView> items;  // in run order
};

// The installed-module filter, with each verdict kept for the plan and the
// report; it answers as the filter does.
class VerdictRecorder final : public IFilterCallback {
 public:
  // With log, each refusal is logged as the run logs it.
  VerdictRecorder(const std::string& install_path, bool log) : filter_(install_path), log_(log) {}
  bool IsModuleInstalled(std::wstring path) override;

  // The module files catalogue met, in search order, with their verdicts.
  // module_of_key, when given, maps each admitted item's key to the index of
  // its module file.
  std::vector<ModuleEntry> Modules(const ModXmlLoader& catalogue,
                                   std::map<std::string, size_t>* module_of_key) const;

 private:
  LoadModFilter filter_;
  bool log_;
  std::map<std::wstring, ModuleVerdict> verdicts_;
};
