// The forms a record takes on the wire, shared by both builds (event_sink.h).
#include <cstdio>
#include <string>

#include "Rules/event_format.h"

namespace platform {

namespace {

const char kIdentifier[] = "Taverly";
// The facility "user": what a program that is no daemon logs under.
constexpr int kFacilityUser = 1;

// The journal takes names of capital letters, digits and '_', at most 64,
// not starting with '_' (its own trusted fields) or a digit.
bool JournalName(const std::string& name) {
  if (name.empty() || name.size() > 64 || name[0] == '_' || (name[0] >= '0' && name[0] <= '9')) {
    return false;
  }
  for (const char c : name) {
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
  }
  return true;
}

void AppendJournalField(const std::string& name, const std::string& value, std::string* out) {
  if (!JournalName(name)) return;
  if (value.find('\n') == std::string::npos) {
    *out += name + "=" + value + "\n";
    return;
  }
  *out += name + "\n";
  uint64_t size = value.size();
  for (int i = 0; i < 8; ++i, size >>= 8) *out += static_cast<char>(size & 0xFF);
  *out += value + "\n";
}

void AppendSyslogText(const std::string& text, bool quoted, std::string* out) {
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      *out += escaped;
      continue;
    }
    if (quoted && (c == '"' || c == '\\')) *out += '\\';
    if (!quoted && c == '=') {
      // The text comes first and unquoted: no NAME=value of its own may
      // stand in it ahead of the fields.
      *out += "\\x3D";
      continue;
    }
    *out += c;
  }
}

}  // namespace

int SyslogSeverity(EventLevel level) {
  switch (level) {
    case EventLevel::kError:
      return 3;
    case EventLevel::kWarning:
      return 4;
    case EventLevel::kInformation:
      break;
  }
  return 6;
}

std::string JournalDatagram(const EventRecord& record) {
  std::string out;
  AppendJournalField("MESSAGE", record.message, &out);
  AppendJournalField("MESSAGE_ID", record.message_id, &out);
  AppendJournalField("PRIORITY", std::to_string(SyslogSeverity(record.level)), &out);
  AppendJournalField("SYSLOG_FACILITY", std::to_string(kFacilityUser), &out);
  AppendJournalField("SYSLOG_IDENTIFIER", kIdentifier, &out);
  AppendJournalField("TAVERLY_EVENT_ID", std::to_string(record.event_id), &out);
  for (const EventField& field : record.fields) AppendJournalField(field.name, field.value, &out);
  return out;
}

std::string SyslogLine(const EventRecord& record, uint32_t pid) {
  const int priority = kFacilityUser * 8 + SyslogSeverity(record.level);
  std::string out =
      "<" + std::to_string(priority) + ">" + kIdentifier + "[" + std::to_string(pid) + "]: ";
  AppendSyslogText(record.message, false, &out);
  out += " MESSAGE_ID=";
  AppendSyslogText(record.message_id, false, &out);
  out += " TAVERLY_EVENT_ID=" + std::to_string(record.event_id);
  for (const EventField& field : record.fields) {
    if (!JournalName(field.name)) continue;
    out += " " + field.name + "=\"";
    AppendSyslogText(field.value, true, &out);
    out += "\"";
  }
  return out;
}

std::vector<std::string> EventLogStrings(const EventRecord& record) {
  std::vector<std::string> strings;
  strings.reserve(record.fields.size() + 1);
  auto add = [&strings](const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
      const bool parameter = text.compare(i, 2, "%%") == 0 && i + 2 < text.size() &&
                             text[i + 2] >= '0' && text[i + 2] <= '9';
      if (parameter) {
        out += "%\\x25";
        ++i;
      } else {
        out += text[i];
      }
    }
    strings.push_back(out);
  };
  add(record.message);
  for (const EventField& field : record.fields) add(field.value);
  return strings;
}

}  // namespace platform
