#include "CallPlugins/RunModel.h"

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
