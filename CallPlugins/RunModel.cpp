#include "CallPlugins/RunModel.h"

#include "Platform/system/system.h"

std::wstring SecurityBasePath(const std::wstring& product_folder) {
  return product_folder + platform::kPathSeparator + platform::kSecurityBaseLibrary;
}

// The phase lines are matched byte for byte by installers and log readers:
// the three blanks of "end   call" stay, and phases 1 and 3 share their
// failure line.
const PhaseRule kPhaseRules[kPhaseCount] = {
    {"after_setup",
     &ModXmlLoader::GetAfterSetupItems,
     "start call after setup plugins...",
     "CallPluginContainer() failed",
     "end   call after setup plugins"},
    {"open_selfprotect",
     &ModXmlLoader::GetOpenSelfProtectItems,
     "start call open self protect plugins...",
     "CallOpenSelfProtectPlugins() failed",
     "end   call open self protect plugins"},
    {"after_selfprotect",
     &ModXmlLoader::GetAfterSelfProtectItems,
     "start call after self protect plugins...",
     "CallPluginContainer() failed",
     "end   call after self protect plugins"},
};

bool VerdictRecorder::IsModuleInstalled(std::wstring path) {
  ModuleVerdict verdict;
  if (log_) {
    filter_.JudgeAndLog(path, &verdict);
  } else {
    verdict = filter_.Judge(path);
  }
  verdicts_[path] = verdict;
  return verdict.installed;
}

std::vector<ModuleEntry> VerdictRecorder::Modules(
    const ModXmlLoader& catalogue, std::map<std::string, size_t>* module_of_key) const {
  std::vector<ModuleEntry> modules;
  for (const ModuleFileRecord& record : catalogue.GetModuleFileRecords()) {
    ModuleEntry module;
    module.record = record;
    auto verdict = verdicts_.find(record.path);
    if (verdict != verdicts_.end()) {
      module.judged = true;
      module.verdict = verdict->second;
    }
    if (module_of_key != nullptr) {
      for (const std::string& key : record.item_keys) (*module_of_key)[key] = modules.size();
    }
    modules.push_back(module);
  }
  return modules;
}
