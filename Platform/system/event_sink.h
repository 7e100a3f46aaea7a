// Writes a record of the run into the system's own event log, where a
// fleet's collectors read it: on Linux the journal (its native protocol), else
// syslog; on Windows the Application log, source "Taverly". A record is a few
// fields the caller has made safe to show (Utils/EventRecords.h builds them);
// these functions only carry it, and never make the run wait.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Rules/event_format.h"

namespace platform {

enum class EventSink { kNone, kJournal, kSyslog, kEventLog };

// What became of a record: sink names what took it. kNone with failed_call
// empty: the system has no event log to write to (no journal socket, no
// /dev/log), which is no error; with failed_call: the call that failed on
// the last log there was ("sendto /run/systemd/journal/socket",
// "RegSetValueExW"), with its system error.
struct EventWriteAnswer {
  EventSink sink = EventSink::kNone;
  std::string failed_call;
  uint32_t error = 0;
  // Windows: this write registered the event source (or pointed it at this
  // program); the record went in only if sink says so.
  bool registered_source = false;
  // Windows: the event source is not registered and could not be, so no
  // record of this program can go in; failed_call says why.
  bool source_refused = false;
};

// Writes one record, each call on its own (nothing is kept between calls).
// Linux: a datagram to the journal at /run/systemd/journal/socket (a sealed
// memory file where the datagram is too large for the socket); where that
// fails, one line to /dev/log (datagram, else stream). Windows: registers the
// event source "Taverly" with this program as its message file where the
// registry does not say so already, then reports the event; a source that
// cannot be registered gets nothing. Sends never wait: a record the log
// cannot take at once is lost.
EventWriteAnswer WriteEventRecord(const EventRecord& record);

// Where WriteEventRecord would put a record now, found without writing one:
// the journal or syslog where its socket is there, or none (POSIX); the
// Application log, and what its source's registry key names (Windows).
struct EventSinkProspect {
  EventSink sink = EventSink::kNone;
  bool source_registered = false;  // Windows: the source's key names a message file
  std::string message_file;        // Windows: the one it names, UTF-8
};
EventSinkProspect ProspectEventSink();

}  // namespace platform
