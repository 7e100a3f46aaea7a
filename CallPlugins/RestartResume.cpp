#include "CallPlugins/RestartResume.h"

#include <glog/logging.h>

#include "CallPlugins/ResumeRecord.h"
#include "Platform/ini_text.h"
#include "Platform/platform.h"
#include "Utils/LogText.h"

namespace {

// The record this run took; without one nothing is passed over.
ResumeRecord& TakenRecord() {
  static ResumeRecord record;
  return record;
}

bool ResultFileTellsOfStop(const std::wstring& result_file) {
  std::string content, value;
  return platform::ReadOwnFile(result_file, &content) == platform::OwnFileRead::kRead &&
         GetIniValue(content, "result", "resume_after_reboot", &value) && value == "true";
}

std::string ModuleFileName(const RunRecord& record, size_t module) {
  if (module >= record.modules.size()) return std::string();
  const std::wstring& path = record.modules[module].record.path;
  const size_t cut = path.find_last_of(L"/\\");
  return platform::WideToUtf8(cut == std::wstring::npos ? path : path.substr(cut + 1));
}

}  // namespace

void PrepareResume(const std::wstring& log_folder, const std::wstring& result_file,
                   const std::string& install_path) {
  const std::wstring path = platform::CombinePath(log_folder, kResumeRecordName);
  ResumeRecord record = ReadResumeRecord(path, install_path);
  TakenRecord() = ResumeRecord();
  if (record.state == ResumeState::kMissing && !ResultFileTellsOfStop(result_file)) return;
  if (record.state != ResumeState::kUsable) {
    LOG(INFO) << "restart record not used, " << ResumeRefusal(record.state)
              << ", path: " << LogText(path);
    // A torn record of this program's own would only say so again.
    if (record.state != ResumeState::kTorn) return;
  }
  uint32_t error = 0;
  if (platform::RemoveProfileFile(path, &error) == platform::RemoveOutcome::kFailed) {
    LOG(ERROR) << "restart record could not be removed, path: " << LogText(path)
               << ", GLE: " << error;
    return;  // a record that stays would be used a second time
  }
  if (record.state == ResumeState::kUsable) TakenRecord() = std::move(record);
}

std::string IdentityOf(const RunRecord& record, const ItemReport& report, ILwBundle* bundle) {
  return ItemIdentity(ModuleFileName(record, report.module), bundle);
}

bool DoneBeforeRestart(const RunRecord& record, const ItemReport& report, ILwBundle* bundle) {
  if (TakenRecord().done.empty()) return false;
  return TakeDoneItem(&TakenRecord(), IdentityOf(record, report, bundle));
}

bool WriteResumeRecord(const RunRecord& record, ModXmlLoader* catalogue,
                       const std::wstring& log_folder, const std::string& install_path) {
  std::vector<std::string> done;
  size_t phase = 0;
  for (const PhaseRule& rule : kPhaseRules) {
    if (phase >= record.phases.size()) break;
    const PhaseItemMap items = (catalogue->*rule.items)();
    for (const ItemReport& item : record.phases[phase++].items) {
      auto bundle = items.find(item.key);
      if (bundle == items.end()) continue;
      if (item.status == ItemStatus::kSucceeded || item.status == ItemStatus::kDoneBeforeRestart) {
        done.push_back(IdentityOf(record, item, bundle->second));
      }
    }
  }
  const std::wstring path = platform::CombinePath(log_folder, kResumeRecordName);
  uint32_t error = 0;
  if (!platform::ReplaceFileContent(path, ResumeRecordText(install_path, done), true, &error)) {
    LOG(ERROR) << "restart record cannot be written, path: " << LogText(path) << ", GLE: " << error;
    return false;
  }
  return true;
}
