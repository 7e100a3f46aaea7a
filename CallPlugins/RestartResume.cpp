#include "CallPlugins/RestartResume.h"

#include <glog/logging.h>

#include "CallPlugins/Item.h"
#include "CallPlugins/RestartRecord.h"
#include "Platform/files/files.h"
#include "Platform/system/system.h"
#include "Rules/ini_text.h"
#include "Utils/LogText.h"

namespace {

bool ResultFileTellsOfStop(const std::wstring& result_file) {
  std::string content, value;
  return platform::ReadOwnFile(result_file, &content) == platform::OwnFileRead::kRead &&
         GetIniValue(content, "result", "resume_after_reboot", &value) && value == "true";
}

std::string IdentityOf(const std::string& key, const RunRecord& record, const ItemReport& report,
                       ILwBundle* bundle) {
  return ItemIdentity(key, ModuleFileName(record, report.module), bundle);
}

void LogUnresolved(const RunContext& run) {
  LOG(ERROR) << "restart record cannot be used, the installation path cannot be resolved, path: "
             << LogText(run.product_folder()) << ", GLE: " << run.restart.place.error;
}

void LogUnusableKey(const RecordKey& key) {
  if (key.state == RecordKeyState::kNotMade) {
    LOG(ERROR) << "restart record key cannot be used, " << RecordKeyRefusal(key.state)
               << ", path: " << LogText(key.path) << ", GLE: " << key.error;
  } else {
    LOG(ERROR) << "restart record key cannot be used, " << RecordKeyRefusal(key.state)
               << ", path: " << LogText(key.path);
  }
}

// False, with a line, when a file there could not be removed.
bool RemoveRecord(const std::wstring& path) {
  uint32_t error = 0;
  if (platform::RemoveProfileFile(path, &error) != platform::RemoveOutcome::kFailed) return true;
  LOG(ERROR) << "restart record could not be removed, path: " << LogText(path)
             << ", GLE: " << error;
  return false;
}

// No run can use it: its digests were keyed with nothing.
void RemoveEarlierRecord(const std::wstring& log_folder) {
  const std::wstring path = platform::CombinePath(log_folder, kEarlierRestartRecordName);
  if (!platform::PathExists(path)) return;
  LOG(INFO) << "restart record not used, "
            << RestartRecordRefusal(RestartRecordState::kEarlierVersion)
            << ", path: " << LogText(path);
  RemoveRecord(path);
}

// A record of this product's is used up whether it resumes or not; one that
// it cannot trust, or another product's, is left alone.
bool UsedUp(RestartRecordState state) {
  return state == RestartRecordState::kUsable || state == RestartRecordState::kTorn ||
         state == RestartRecordState::kNoKey || state == RestartRecordState::kOtherKey;
}

}  // namespace

std::string ModuleFileName(const RunRecord& record, size_t module) {
  if (module >= record.modules.size()) return std::string();
  const std::wstring& path = record.modules[module].record.path;
  const size_t cut = path.find_last_of(L"/\\");
  return platform::WideToUtf8(cut == std::wstring::npos ? path : path.substr(cut + 1));
}

void TakeRestartRecord(RunContext& run) {
  RestartSession& session = run.restart;
  session = RestartSession();
  RemoveEarlierRecord(run.log_folder);
  session.place = LocateRestartRecord(run.log_folder, run.product_folder());
  if (!session.place.resolved) {
    if (ResultFileTellsOfStop(run.result_file)) LogUnresolved(run);
    return;
  }
  const std::wstring& path = session.place.path;
  RestartRecord record = ReadRestartRecord(path, session.place.product);
  if (record.state == RestartRecordState::kMissing && !ResultFileTellsOfStop(run.result_file)) {
    return;
  }
  if (record.state == RestartRecordState::kUsable) {
    const RecordKey key = ReadRecordKey();
    if (key.state != RecordKeyState::kUsable) LogUnusableKey(key);
    JudgeRecordKey(&record, session.place.product, key);
  }
  if (record.state != RestartRecordState::kUsable) {
    LOG(INFO) << "restart record not used, " << RestartRecordRefusal(record.state)
              << ", path: " << LogText(path);
    if (!UsedUp(record.state)) return;
  }
  // A record that stays would be used a second time.
  if (!RemoveRecord(path)) return;
  if (record.state == RestartRecordState::kUsable) session.taken = std::move(record);
}

bool DoneBeforeRestart(RunContext& run, const ItemReport& report, ILwBundle* bundle) {
  RestartRecord& taken = run.restart.taken;
  if (taken.done.empty()) return false;
  return TakeDoneItem(&taken, IdentityOf(taken.key, run.record, report, bundle));
}

bool WriteRestartRecord(const RunContext& run, ModXmlLoader* catalogue) {
  const RestartSession& session = run.restart;
  const RunRecord& record = run.record;
  if (!session.place.resolved) {
    LogUnresolved(run);
    return false;
  }
  const RecordKey key = ObtainRecordKey();
  if (key.state != RecordKeyState::kUsable) {
    LogUnusableKey(key);
    return false;
  }
  std::vector<std::string> done;
  size_t phase = 0;
  for (const PhaseRule& rule : kPhaseRules) {
    if (phase >= record.phases.size()) break;
    const PhaseItemMap items = (catalogue->*rule.items)();
    for (const ItemReport& item : record.phases[phase++].items) {
      auto bundle = items.find(item.key);
      if (bundle == items.end()) continue;
      if (item.status == ItemStatus::kSucceeded || item.status == ItemStatus::kDoneBeforeRestart ||
          item.skipped_by != nullptr) {
        done.push_back(IdentityOf(key.bytes, record, item, bundle->second));
      }
    }
  }
  const std::wstring& path = session.place.path;
  uint32_t error = 0;
  const std::string text = RestartRecordText(session.place.product, key.bytes, done);
  if (!platform::ReplaceFileContent(path, text, true, &error)) {
    LOG(ERROR) << "restart record cannot be written, path: " << LogText(path) << ", GLE: " << error;
    return false;
  }
  return true;
}
