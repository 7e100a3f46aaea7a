#include "tools/plan_events.h"

#include <string>

#include "tools/plan_undo.h"

namespace {

const char* KindName(EventKind kind) {
  switch (kind) {
    case EventKind::kRunStarted:
      return "run-started";
    case EventKind::kItemFailed:
      return "item-failed";
    case EventKind::kRunSucceeded:
      return "run-succeeded";
    case EventKind::kRunFailed:
      return "run-failed";
    case EventKind::kRollback:
      return "rollback";
    case EventKind::kRunStoppedForRestart:
      break;
  }
  return "run-stopped-for-restart";
}

const char* WhenName(RecordWhen when) {
  switch (when) {
    case RecordWhen::kAlways:
      return "always";
    case RecordWhen::kIfAnItemFails:
      return "if-an-item-fails";
    case RecordWhen::kIfEveryItemPasses:
      return "if-every-item-passes";
    case RecordWhen::kIfAnItemStopsTheRun:
      break;
  }
  return "if-an-item-stops-the-run";
}

const char* SinkName(platform::EventSink sink) {
  switch (sink) {
    case platform::EventSink::kJournal:
      return "journal";
    case platform::EventSink::kSyslog:
      return "syslog";
    case platform::EventSink::kEventLog:
      return "application-log";
    case platform::EventSink::kNone:
      break;
  }
  return "none";
}

std::string SinkText(const platform::EventSinkProspect& prospect) {
  switch (prospect.sink) {
    case platform::EventSink::kJournal:
      return "into the journal (/run/systemd/journal/socket)";
    case platform::EventSink::kSyslog:
      return "into syslog (/dev/log), as this machine has no journal socket";
    case platform::EventSink::kEventLog:
      return prospect.source_registered
                 ? "into the Application log, source Taverly, registered with message file " +
                       prospect.message_file
                 : std::string(
                       "into the Application log, source Taverly, not registered yet "
                       "(the run registers it)");
    case platform::EventSink::kNone:
      break;
  }
  return "nowhere: this machine has neither a journal nor a syslog socket";
}

bool CanStopTheRun(const PlannedItem& item) {
  return item.outcome == ItemOutcome::kRuns && !item.done_before_restart &&
         !item.exit_classes.restart_now_codes.empty();
}

}  // namespace

bool CanFail(const PlannedItem& item) {
  return item.outcome == ItemOutcome::kRuns && !item.done_before_restart &&
         (item.has_expectation || item.timeout_seconds > 0 || item.signed_item);
}

std::vector<PlannedRecord> PlannedRecords(const Plan& plan) {
  std::vector<PlannedRecord> records;
  if (!plan.event_records) return records;
  bool can_fail = false;
  bool can_stop = false;
  for (const PlannedPhase& phase : plan.phases) {
    if (!phase.reached) continue;
    for (const PlannedItem& item : phase.items) {
      can_fail = can_fail || CanFail(item);
      can_stop = can_stop || CanStopTheRun(item);
    }
  }
  records.push_back({EventKind::kRunStarted, RecordWhen::kAlways});
  if (can_fail) records.push_back({EventKind::kItemFailed, RecordWhen::kIfAnItemFails});
  // Only in a product whose run can undo something.
  bool when_predicted = false;
  if (RollbackCanRun(plan, &when_predicted)) {
    records.push_back(
        {EventKind::kRollback, when_predicted ? RecordWhen::kAlways : RecordWhen::kIfAnItemFails});
  }
  if (plan.predicts_success) {
    records.push_back({EventKind::kRunSucceeded, RecordWhen::kIfEveryItemPasses});
    if (can_fail) records.push_back({EventKind::kRunFailed, RecordWhen::kIfAnItemFails});
  } else {
    records.push_back({EventKind::kRunFailed, RecordWhen::kAlways});
  }
  if (can_stop) {
    records.push_back({EventKind::kRunStoppedForRestart, RecordWhen::kIfAnItemStopsTheRun});
  }
  return records;
}

void WriteEventRecordsText(const Plan& plan, std::ostream& out) {
  out << "\nevent records\n";
  if (!plan.event_records) {
    out << "  off (--event-records=off): the run writes none\n";
    return;
  }
  out << "  on, " << SinkText(plan.event_sink) << "\n";
  for (const PlannedRecord& record : PlannedRecords(plan)) {
    out << "  " << FactsOf(record.kind).event_id << " " << KindName(record.kind) << ": "
        << WhenName(record.when) << "\n";
  }
}

void WriteEventRecordsJson(const Plan& plan, json::Writer& json) {
  json.Key("event_records");
  json.StartObject();
  json::Member(json, "on", plan.event_records);
  json::Member(json, "sink", std::string(SinkName(plan.event_sink.sink)));
  if (plan.event_sink.sink == platform::EventSink::kEventLog) {
    json::Member(json, "source_registered", plan.event_sink.source_registered);
    json::Member(json, "message_file", plan.event_sink.message_file);
  }
  json.Key("records");
  json.StartArray();
  for (const PlannedRecord& record : PlannedRecords(plan)) {
    const EventKindFacts& facts = FactsOf(record.kind);
    json.StartObject();
    json::Member(json, "kind", std::string(KindName(record.kind)));
    json::Member(json, "event_id", static_cast<uint64_t>(facts.event_id));
    json::Member(json, "message_id", std::string(facts.message_id));
    json::Member(json, "when", std::string(WhenName(record.when)));
    json.EndObject();
  }
  json.EndArray();
  json.EndObject();
}
