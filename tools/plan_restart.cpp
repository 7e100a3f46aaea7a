#include "tools/plan_restart.h"

#include "Platform/files/files.h"
#include "Platform/system/system.h"
#include "Utils/PathUtils.h"
#include "tools/plan_parts.h"
#include "tools/plan_unused.h"

namespace {

std::string CodesText(const std::vector<int32_t>& codes) {
  std::string text;
  for (int32_t code : codes) text += (text.empty() ? "" : ";") + std::to_string(code);
  return text;
}

void CodesJson(const char* name, const std::vector<int32_t>& codes, json::Writer& json) {
  json.Key(name);
  json.StartArray();
  for (int32_t code : codes) json.Int(code);
  json.EndArray();
}

}  // namespace

void PlanExitClasses(PlannedItem* item) {
  if (item->exit_classes.retry_codes.empty() && item->exit_classes.restart_now_codes.empty()) {
    return;
  }
  item->overlaps = FindCodeOverlaps(item->exit_classes,
                                    item->wait ? item->restart_codes : std::vector<ExpectedCode>(),
                                    item->expected_codes);
}

RestartRecord PlanRestartRecord(const RunContext& run, Plan* plan) {
  const std::wstring& log_folder = run.log_folder;
  const RestartRecordPlace place = LocateRestartRecord(log_folder, run.product_folder());
  RestartRecord record;
  if (place.resolved) {
    plan->restart_record_path = place.path;
    record = ReadRestartRecord(place.path, place.product);
    JudgeRecordKey(&record, place.product, ReadRecordKey());  // never made here
  }
  // Where this product has none, the one an earlier version left, which the
  // next run removes.
  const std::wstring earlier = platform::CombinePath(log_folder, kEarlierRestartRecordName);
  if (record.state == RestartRecordState::kMissing && platform::PathExists(earlier)) {
    plan->restart_record_path = earlier;
    record.state = RestartRecordState::kEarlierVersion;
  }
  plan->restart_record = record.state;
  return record;
}

void MarkDoneBeforeRestart(RestartRecord* record, ILwBundle* bundle, PlannedItem* item) {
  if (record->state != RestartRecordState::kUsable || record->done.empty()) return;
  const std::string module = platform::WideToUtf8(FileName(item->module_file));
  item->done_before_restart = TakeDoneItem(record, ItemIdentity(record->key, module, bundle));
}

std::vector<PlanWarning> RestartWarnings(const std::wstring& where, const PlannedItem& item) {
  std::vector<PlanWarning> warnings = UnusedWarnings(where, item, UnusedStage::kExitCode);
  for (const CodeOverlap& overlap : item.overlaps) {
    std::wstring classes;
    for (CodeClass code_class : overlap.classes) {
      classes += (classes.empty() ? L"" : L", ") + AnsiToWide(CodeClassName(code_class));
    }
    warnings.push_back({"exit-code-overlap",
                        where + L": exit code " + std::to_wstring(overlap.code) +
                            L" is listed as " + classes + L"; it is judged as " +
                            AnsiToWide(CodeClassName(overlap.classes.front()))});
  }
  return warnings;
}

void WriteRestartText(const PlannedItem& item, std::ostream& out) {
  const ExitClasses& classes = item.exit_classes;
  if (!classes.retry_codes.empty()) {
    out << "    retry: exit codes " << CodesText(classes.retry_codes) << ", up to "
        << classes.retries << " more start(s), " << classes.retry_delay << " s apart\n";
  }
  if (!classes.restart_now_codes.empty()) {
    out << "    restart now: exit codes " << CodesText(classes.restart_now_codes)
        << " end the run after this item (exit code 211)\n";
  }
  if (item.done_before_restart) out << "    done before the restart: the next run passes over it\n";
}

void WriteRestartJson(const PlannedItem& item, json::Writer& json) {
  const ExitClasses& classes = item.exit_classes;
  if (!classes.retry_codes.empty()) {
    CodesJson("retry_codes", classes.retry_codes, json);
    json::Member(json, "retries", static_cast<uint64_t>(classes.retries));
    json::Member(json, "retry_delay", static_cast<uint64_t>(classes.retry_delay));
  }
  if (!classes.restart_now_codes.empty()) {
    CodesJson("reboot_now_codes", classes.restart_now_codes, json);
  }
  if (item.done_before_restart) json::Member(json, "done_before_restart", true);
}

namespace {

size_t PassedOver(const Plan& plan) {
  size_t count = 0;
  for (const PlannedPhase& phase : plan.phases) {
    for (const PlannedItem& item : phase.items) count += item.done_before_restart ? 1 : 0;
  }
  return count;
}

}  // namespace

void WriteRestartRecordText(const Plan& plan, std::ostream& out) {
  if (plan.restart_record == RestartRecordState::kMissing) return;
  out << "\nrestart record\n  " << WideToAnsi(plan.restart_record_path) << ": ";
  if (plan.restart_record == RestartRecordState::kUsable) {
    out << "the next run passes over " << PassedOver(plan)
        << " item(s) done before the restart, then removes it\n";
  } else {
    out << "not used, " << RestartRecordRefusal(plan.restart_record) << "\n";
  }
}

void WriteRestartRecordJson(const Plan& plan, json::Writer& json) {
  if (plan.restart_record == RestartRecordState::kMissing) return;
  json.Key("restart_record");
  json.StartObject();
  json::Member(json, "path", platform::WideToUtf8(plan.restart_record_path));
  json::Member(json, "used", plan.restart_record == RestartRecordState::kUsable);
  json::Member(json, "why", std::string(RestartRecordRefusal(plan.restart_record)));
  json::Member(json, "passed_over", static_cast<uint64_t>(PassedOver(plan)));
  json.EndObject();
}
