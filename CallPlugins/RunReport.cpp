#include "CallPlugins/RunReport.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>

#include "CallPlugins/RunContext.h"
#include "Platform/system/system.h"
#include "Utils/JsonText.h"
#include "Utils/PathUtils.h"
#include "Utils/Version.h"

namespace {

using json::Member;
using json::MemberOrNull;
using json::String;
using JsonWriter = json::Writer;

// Wide text (paths, the error record) and narrow text of the module files.
std::string Utf8(const std::wstring& wide) { return platform::WideToUtf8(wide); }
std::string Utf8(const std::string& narrow) { return AnsiToUtf8(narrow.c_str()); }

// What became of an item's undo in the rollback.
void WriteUndo(const UndoResult& undo, JsonWriter& json) {
  json.Key("undo");
  json.StartObject();
  Member(json, "status", std::string(UndoStatusName(undo.status)));
  json.Key("exit_code");
  if (undo.has_exit_code) {
    json.Int64(undo.exit_code);
  } else {
    json.Null();
  }
  Member(json, "duration_ms", undo.duration_ms);
  json.EndObject();
}

// Exe items with as_user: whom the program ran as, one object, or an array
// of them in start order when it ran in more than one session.
void WriteAsUser(const std::vector<ItemReport::Session>& sessions, JsonWriter& json) {
  if (sessions.empty()) return;
  json.Key("as_user");
  if (sessions.size() > 1) json.StartArray();
  for (const ItemReport::Session& session : sessions) {
    json.StartObject();
    Member(json, "user", Utf8(session.user));
    Member(json, "session", Utf8(session.session));
    json.EndObject();
  }
  if (sessions.size() > 1) json.EndArray();
}

// module_files: the record's module paths in UTF-8, converted once per report.
void WriteItem(const std::wstring& product_folder, const std::vector<std::string>& module_files,
               const ItemReport& item, JsonWriter& json) {
  json.StartObject();
  Member(json, "key", item.key);
  Member(json,
         "module_file",
         item.module < module_files.size() ? module_files[item.module] : std::string());
  Member(json, "type", Utf8(item.type));
  Member(json, "file", Utf8(item.file));
  Member(json, "path", Utf8(ItemFilePath(product_folder, item.file)));
  Member(json, "status", std::string(ItemStatusName(item.status)));
  if (item.skipped_by != nullptr) Member(json, "skipped_by", std::string(item.skipped_by));
  if (item.failed_by != nullptr) Member(json, "failed_by", std::string(item.failed_by));
  if (item.ended_by != nullptr) Member(json, "ended_by_signal", std::string(item.ended_by));
  if (item.has_exit_code) Member(json, "exit_code", static_cast<uint64_t>(item.exit_code));
  if (item.signal != 0) Member(json, "signal", static_cast<uint64_t>(item.signal));
  if (item.has_result) {
    json.Key("result");
    json.Int(item.result);
  }
  if (item.has_duration) Member(json, "duration_ms", item.duration_ms);
  if (item.kind == ItemKind::kExe) {
    Member(json, "timed_out", item.timed_out);
    Member(json, "reboot", item.restart);
  }
  if (item.retry_used) {
    json.Key("attempt_exit_codes");
    json.StartArray();
    for (uint32_t code : item.attempt_exit_codes) json.Uint(code);
    json.EndArray();
  }
  WriteAsUser(item.as_user, json);
  if (item.undo.status != UndoStatus::kNone) WriteUndo(item.undo, json);
  json.EndObject();
}

}  // namespace

ItemReport& ReportOf(std::vector<ItemReport>& reports, size_t index, const std::string& key,
                     ILwBundle* bundle) {
  if (index >= reports.size() || reports[index].key != key) {
    ItemReport report;
    report.key = key;
    static_cast<ItemHead&>(report) = ReadItemHead(bundle);
    reports.insert(reports.begin() + static_cast<std::ptrdiff_t>(index), report);
  }
  return reports[index];
}

namespace {

void WriteModule(const ModuleEntry& module, const std::string& file, JsonWriter& json) {
  json.StartObject();
  Member(json, "file", file);
  Member(json, "outcome", std::string(ModuleOutcomeName(module.record.outcome)));
  json.Key("name");
  if (module.judged) {
    String(json, Utf8(module.verdict.module_name));
  } else {
    json.Null();
  }
  Member(json, "admitted", module.judged && module.verdict.installed);
  json.Key("reason");
  if (module.judged) {
    String(json, ModuleReasonName(module.verdict.reason));
  } else {
    json.Null();
  }
  json.Key("keys");
  json.StartArray();
  for (const std::string& key : module.record.item_keys) String(json, key);
  json.EndArray();
  json.EndObject();
}

void WriteCounts(const ItemCounts& counts, const RollbackCounts& rollback, JsonWriter& json) {
  json.StartObject();
  Member(json, "items", static_cast<uint64_t>(counts.items));
  Member(json, "succeeded", static_cast<uint64_t>(counts.succeeded));
  Member(json, "failed", static_cast<uint64_t>(counts.failed));
  Member(json, "skipped", static_cast<uint64_t>(counts.skipped));
  Member(json, "not_started", static_cast<uint64_t>(counts.not_started));
  Member(json, "not_reached", static_cast<uint64_t>(counts.not_reached));
  Member(json, "running", static_cast<uint64_t>(counts.running));
  if (counts.done_before_restart > 0) {
    Member(json, "done_before_restart", static_cast<uint64_t>(counts.done_before_restart));
  }
  if (rollback.Attempted()) {
    Member(json, "undone", static_cast<uint64_t>(rollback.undone));
    Member(json, "undo_failed", static_cast<uint64_t>(rollback.undo_failed));
  }
  json.EndObject();
}

int64_t MonotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

const char* ItemStatusName(ItemStatus status) {
  switch (status) {
    case ItemStatus::kRunning:
      return "running";
    case ItemStatus::kSucceeded:
      return "succeeded";
    case ItemStatus::kFailed:
      return "failed";
    case ItemStatus::kSkipped:
      return "skipped";
    case ItemStatus::kNotStarted:
      return "not_started";
    case ItemStatus::kDoneBeforeRestart:
      return "done_before_restart";
    case ItemStatus::kNotReached:
      break;
  }
  return "not_reached";
}

void RecordCatalogue(ModXmlLoader* catalogue, const VerdictRecorder& verdicts, RunRecord* record) {
  std::map<std::string, size_t> module_of_key;
  record->modules = verdicts.Modules(*catalogue, &module_of_key);
  for (const PhaseRule& rule : kPhaseRules) {
    PhaseReport phase;
    phase.name = rule.element;
    for (const auto& entry : (catalogue->*rule.items)()) {
      ItemReport item;
      item.key = entry.first;
      auto module = module_of_key.find(entry.first);
      if (module != module_of_key.end()) item.module = module->second;
      static_cast<ItemHead&>(item) = ReadItemHead(entry.second);
      phase.items.push_back(item);
    }
    record->phases.push_back(phase);
  }
}

ItemCounts CountItems(const RunRecord& record) {
  ItemCounts counts;
  for (const PhaseReport& phase : record.phases) {
    for (const ItemReport& item : phase.items) {
      ++counts.items;
      switch (item.status) {
        case ItemStatus::kRunning:
          ++counts.running;
          break;
        case ItemStatus::kSucceeded:
          ++counts.succeeded;
          break;
        case ItemStatus::kFailed:
          ++counts.failed;
          break;
        case ItemStatus::kSkipped:
          ++counts.skipped;
          break;
        case ItemStatus::kNotStarted:
          ++counts.not_started;
          break;
        case ItemStatus::kNotReached:
          ++counts.not_reached;
          break;
        case ItemStatus::kDoneBeforeRestart:
          ++counts.done_before_restart;
          break;
      }
    }
  }
  return counts;
}

std::string UtcTimestamp(int64_t ms) {
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  const std::tm* utc = std::gmtime(&seconds);
  if (utc == nullptr) return std::string();
  char text[40];
  const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", utc);
  std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(ms % 1000));
  return text;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

namespace {

// When the run started and how it ended: null while it goes on.
void WriteOutcome(const RunRecord& record, JsonWriter& json) {
  Member(json, "started", UtcTimestamp(record.started_ms));
  json.Key("finished");
  if (record.finished) {
    String(json, UtcTimestamp(record.finished_ms));
  } else {
    json.Null();
  }
  MemberOrNull(json, "exit_code", record.finished, record.exit_code);
  json.Key("is_success");
  if (record.finished) {
    json.Bool(record.is_success);
  } else {
    json.Null();
  }
}

void WriteSecurityBase(const SecurityBaseEntry& security_base, JsonWriter& json) {
  json.Key("security_base");
  json.StartObject();
  Member(json, "path", Utf8(security_base.path));
  Member(json, "present", security_base.present);
  MemberOrNull(json, "verdict", security_base.present, security_base.verdict);
  Member(json, "started", security_base.started);
  json.EndObject();
}

// The module files, then the phases with their items, which name their
// module file as the list does.
void WriteModulesAndPhases(const RunContext& run, JsonWriter& json) {
  const RunRecord& record = run.record;
  json.Key("modules");
  json.StartArray();
  std::vector<std::string> module_files;
  module_files.reserve(record.modules.size());
  for (const ModuleEntry& module : record.modules) {
    module_files.push_back(Utf8(module.record.path));
    WriteModule(module, module_files.back(), json);
  }
  json.EndArray();

  json.Key("phases");
  json.StartArray();
  for (const PhaseReport& phase : record.phases) {
    json.StartObject();
    Member(json, "name", phase.name);
    Member(json, "reached", phase.reached);
    Member(json, "succeeded", phase.succeeded);
    json.Key("items");
    json.StartArray();
    for (const ItemReport& item : phase.items)
      WriteItem(run.product_folder(), module_files, item, json);
    json.EndArray();
    json.EndObject();
  }
  json.EndArray();
}

}  // namespace

std::string RunReportJson(const RunContext& run) {
  const RunRecord& record = run.record;
  const InstallErrorRecord& error = run.errors;
  json::Document document(4096 + 400 * CountItems(record).items);
  JsonWriter& json = document.writer;
  json.StartObject();
  Member(json, "schema", std::string(kRunReportSchema));
  Member(json, "version", std::string(TaverlyVersion()));
  Member(json, "product_folder", Utf8(run.product_folder()));
  json.Key("account");
  json.StartObject();
  Member(json, "name", Utf8(run.account.name));
  Member(json, "system", run.account.system);
  json.EndObject();
  WriteOutcome(record, json);
  Member(json, "reboot_required", record.restart_required);
  if (record.stopped_for_restart) Member(json, "stopped_for_reboot", true);
  json.Key("error");
  json.StartObject();
  Member(json, "code", Utf8(error.errorCode));
  Member(json, "detail", Utf8(error.errorDetail));
  json.EndObject();

  WriteSecurityBase(record.security_base, json);
  WriteModulesAndPhases(run, json);
  json.Key("counts");
  WriteCounts(CountItems(record), record.rollback, json);
  json.EndObject();
  document.text.push_back('\n');
  return document.text;
}

bool ProgressPacer::Due(int64_t now_ms, bool phase_start) {
  if (!phase_start && written_ && now_ms - last_ms_ < kProgressIntervalMs) return false;
  written_ = true;
  last_ms_ = now_ms;
  return true;
}

void ProgressReporter::SetWriter(std::function<void()> writer) {
  writer_ = std::move(writer);
  pacer_ = ProgressPacer();
}

void ProgressReporter::Report(bool phase_start) {
  if (writer_ && pacer_.Due(MonotonicMs(), phase_start)) writer_();
}
