// The system's logs as a run's event records reach them, for the tests: a
// journal socket or a /dev/log of the test's own in a mount namespace of its
// own, and what came in, parsed as a collector parses it.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace e2e {

// A record's fields in the journal's native form, in order.
using JournalFields = std::vector<std::pair<std::string, std::string>>;
JournalFields ParseJournalDatagram(const std::string& datagram);
// The value of the first field called name; "<absent>" when there is none.
std::string FieldOf(const JournalFields& fields, const std::string& name);

// Listens where the program writes its records, for as long as it lives; the
// mounts it made go with it.
class SystemLogListener {
 public:
  SystemLogListener() = default;
  ~SystemLogListener();
  SystemLogListener(const SystemLogListener&) = delete;
  SystemLogListener& operator=(const SystemLogListener&) = delete;

  // A /run of its own with a journal socket. "" or why it cannot, to skip with.
  std::string ListenAsJournal();
  // A /run without a journal and a /dev whose log is this socket.
  std::string ListenAsSyslog();
  // Every datagram that came in since, in order (a sealed memory file read whole).
  std::vector<std::string> Received();

 private:
  std::string Listen(const std::string& path);

  int fd_ = -1;
  bool run_mounted_ = false;
  bool dev_mounted_ = false;
};

}  // namespace e2e
