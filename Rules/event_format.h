// A record of the run for the system's event log, and the forms it takes
// there: the journal's datagram, the syslog line, the Windows strings.
// Platform/system/event_sink.h writes them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// The record's weight: the journal's PRIORITY and syslog's severity (6, 4,
// 3), the Windows event type (information, warning, error).
enum class EventLevel { kInformation, kWarning, kError };

struct EventField {
  std::string name;   // TAVERLY_...: capital letters, digits and '_'
  std::string value;  // UTF-8
};

struct EventRecord {
  uint32_t event_id = 0;   // Windows: the message table's entry
  std::string message_id;  // the journal's MESSAGE_ID: 32 lowercase hex digits
  EventLevel level = EventLevel::kInformation;
  std::string message;  // the text people read: MESSAGE, the event's description
  // In a fixed order per kind of record: on Windows the insertion strings
  // %2, %3, ... after the message (%1).
  std::vector<EventField> fields;
};

// The journal's native form: "KEY=value\n" per field, or for a value with a
// line break "KEY\n", its length as 64-bit little endian, the bytes and "\n".
// MESSAGE, MESSAGE_ID, PRIORITY, SYSLOG_FACILITY, SYSLOG_IDENTIFIER=Taverly
// and TAVERLY_EVENT_ID come first, then the record's fields; a field whose
// name the journal would refuse is left out.
std::string JournalDatagram(const EventRecord& record);

// One syslog line: "<PRI>Taverly[pid]: message MESSAGE_ID=... NAME="value" ...",
// facility user; in values '"' and '\' take a '\' before them, and control
// characters are written \xNN, so the line is one line whatever it carries.
std::string SyslogLine(const EventRecord& record, uint32_t pid);

// The Windows insertion strings: the message, then each field's value. A
// "%%" before a digit, which the event viewer would replace with a text of
// its own, is written "%\x25".
std::vector<std::string> EventLogStrings(const EventRecord& record);

// The journal's and syslog's number for the level: 6, 4 or 3.
int SyslogSeverity(EventLevel level);

}  // namespace platform
