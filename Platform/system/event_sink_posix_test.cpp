// The sink against a journal and a syslog of the test's own: the test process
// takes a mount namespace of its own with fresh file systems on /run and
// /dev, so the sink's own paths lead to the test's sockets and nothing it
// does shows on the machine.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <string>

#include "Platform/system/event_sink.h"
#include "Utils/EventRecords.h"
#include "tests/e2e/private_mounts.h"

namespace {

using platform::EventSink;
const char kJournal[] = "/run/systemd/journal/socket";

class EventSinkPosixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = e2e::EnterPrivateMountNamespace();
    if (!why.empty()) GTEST_SKIP() << why;
    for (const char* folder : {"/run", "/dev"}) {
      ASSERT_EQ(mount("tmpfs", folder, "tmpfs", 0, "mode=0755"), 0) << folder << " " << errno;
    }
    mounted_ = true;
    ASSERT_EQ(mkdir("/run/systemd", 0755) | mkdir("/run/systemd/journal", 0755), 0);
  }
  // Only what this test mounted, in its own namespace: never the machine's.
  void TearDown() override {
    if (!mounted_) return;
    umount2("/dev", MNT_DETACH);
    umount2("/run", MNT_DETACH);
  }
  // A socket of the test's at path, listening if a stream one.
  static int Listen(int type, const char* path) {
    unlink(path);
    const int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << errno;
    if (type == SOCK_STREAM) listen(fd, 4);
    return fd;
  }
  bool mounted_ = false;
};

// What came to a socket: its bytes, or for a file it passed, "<seals N>"
// and the file's bytes.
std::string Received(int fd) {
  static char data[1 << 20];
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  iovec vector{data, sizeof data};
  msghdr message{};
  message.msg_iov = &vector;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t got = recvmsg(fd, &message, MSG_DONTWAIT);
  close(fd);
  const cmsghdr* rights = CMSG_FIRSTHDR(&message);
  if (got < 0 || rights == nullptr) return got < 0 ? "<nothing>" : std::string(data, got);
  int file = -1;
  std::memcpy(&file, CMSG_DATA(rights), sizeof file);
  std::string content = "<seals " + std::to_string(fcntl(file, F_GET_SEALS)) + ">";
  for (ssize_t n, at = 0; (n = pread(file, data, sizeof data, at)) > 0; at += n) {
    content.append(data, n);
  }
  close(file);
  return content;
}

// The journal's fields, each once, read as its server reads a datagram.
std::map<std::string, std::string> JournalFields(const std::string& datagram) {
  std::map<std::string, std::string> fields;
  for (size_t at = 0; at < datagram.size();) {
    const size_t end = datagram.find_first_of("=\n", at);
    if (end == std::string::npos) return {{"<torn>", datagram.substr(at)}};
    size_t next = datagram.find('\n', end + 1);
    std::string value = datagram.substr(end + 1, next - end - 1);
    if (datagram[end] == '\n') {
      uint64_t size = 0;
      for (int i = 8; i >= 1; --i) size = size << 8 | static_cast<uint8_t>(datagram[end + i]);
      value = datagram.substr(end + 9, size);
      next = end + 9 + size;
    }
    EXPECT_TRUE(fields.emplace(datagram.substr(at, end - at), value).second);
    at = next + 1;
  }
  return fields;
}

platform::EventRecord HostileItem() {
  FailedItem item{"after_setup",
                  "mod.xml",
                  "7\nMESSAGE_ID=0",
                  "Exe",
                  std::string("bin/\xFF tool\r\n\"x\""),
                  ItemFailure::kExitCodeNotAccepted,
                  true,
                  2,
                  50};
  return ItemFailedRecord({"id", "/opt/p"}, item);
}

TEST_F(EventSinkPosixTest, JournalTakesEachRecordFieldByField) {
  // A line break takes the binary form; a name the journal refuses is left out.
  platform::EventRecord record = HostileItem();
  record.fields.insert(
      record.fields.end(),
      {{"TAVERLY_LINES", std::string("a\nb\0", 4)}, {"_PID", "1"}, {"lower", "1"}, {"A=B", "1"}});
  const int syslog = Listen(SOCK_DGRAM, "/dev/log");
  int journal = Listen(SOCK_DGRAM, kJournal);
  EXPECT_EQ(platform::WriteEventRecord(record).sink, EventSink::kJournal);
  std::map<std::string, std::string> expected = {{"MESSAGE", record.message},
                                                 {"MESSAGE_ID", "b1d7341a6b15e1577403d2c6499aa141"},
                                                 {"PRIORITY", "3"},
                                                 {"SYSLOG_FACILITY", "1"},
                                                 {"SYSLOG_IDENTIFIER", "Taverly"},
                                                 {"TAVERLY_EVENT_ID", "1002"}};
  for (size_t i = 0; i + 3 < record.fields.size(); ++i) {
    expected[record.fields[i].name] = record.fields[i].value;
  }
  EXPECT_EQ(JournalFields(Received(journal)), expected);
  EXPECT_EQ(expected["TAVERLY_ITEM"], "7\\x0AMESSAGE_ID=0");

  // One too large for a datagram comes as a memory file, sealed all four ways.
  size_t socket_buffer = 0;
  std::ifstream("/proc/sys/net/core/wmem_default") >> socket_buffer;
  record.fields.push_back({"TAVERLY_LARGE", std::string(socket_buffer, 'v') + "\nend"});
  journal = Listen(SOCK_DGRAM, kJournal);
  EXPECT_EQ(platform::WriteEventRecord(record).sink, EventSink::kJournal);
  const std::string received = Received(journal);
  EXPECT_EQ(received.substr(0, 10), "<seals 15>");
  expected["TAVERLY_LARGE"] = record.fields.back().value;
  EXPECT_EQ(JournalFields(received.substr(10)), expected);
  EXPECT_EQ(Received(syslog), "<nothing>");
}

// Without a journal that answers, syslog takes the record, on a datagram
// socket or a stream one; without either, nothing does, with no error unless
// a log was there and refused it.
TEST_F(EventSinkPosixTest, SyslogTakesWhatNoJournalDoes) {
  const platform::EventRecord record = HostileItem();
  const std::string line = platform::SyslogLine(record, static_cast<uint32_t>(getpid()));
  const struct {
    bool stale_journal;  // a socket file nobody listens on
    int syslog_type;     // 0: no /dev/log
    EventSink sink;
    const char* failed_call;
    int error;
  } cases[] = {
      {true, SOCK_DGRAM, EventSink::kSyslog, "", 0},
      {false, SOCK_STREAM, EventSink::kSyslog, "", 0},
      {false, 0, EventSink::kNone, "", 0},
      {true, 0, EventSink::kNone, "sendto /run/systemd/journal/socket", ECONNREFUSED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.syslog_type) + (c.stale_journal ? " after a stale journal" : ""));
    unlink(kJournal);
    unlink("/dev/log");
    if (c.stale_journal) close(Listen(SOCK_DGRAM, kJournal));
    const int syslog = c.syslog_type == 0 ? -1 : Listen(c.syslog_type, "/dev/log");
    const platform::EventWriteAnswer answer = platform::WriteEventRecord(record);
    EXPECT_EQ(answer.sink, c.sink);
    EXPECT_EQ(answer.failed_call, c.failed_call);
    EXPECT_EQ(answer.error, static_cast<uint32_t>(c.error));
    if (c.syslog_type == SOCK_DGRAM) {
      EXPECT_EQ(Received(syslog), line);
    } else if (c.syslog_type == SOCK_STREAM) {
      EXPECT_EQ(Received(accept(syslog, nullptr, nullptr)), line + '\0');
      close(syslog);
    }
  }
}

}  // namespace
