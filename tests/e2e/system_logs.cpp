#include "tests/e2e/system_logs.h"

#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <iostream>

#include <gtest/gtest.h>

#include "tests/e2e/harness.h"
#include "tests/e2e/private_mounts.h"

namespace fs = std::filesystem;

namespace e2e {

namespace {

const char kJournalFolder[] = "/run/systemd/journal";
const char kHostDev[] = "/run/taverly-host-dev";

bool IsSocket(const char* path) {
  struct stat status {};
  return stat(path, &status) == 0 && S_ISSOCK(status.st_mode);
}

std::string Errno(const std::string& call) { return call + ": " + std::strerror(errno); }

// Keeps every run of the suite out of this machine's journal and syslog: the
// suite runs in a /run of its own, yet a /dev/log of a syslog daemon, or a
// suite started without it, would take the records of every run.
class KeepOutOfTheSystemLogs : public ::testing::Environment {
 public:
  void SetUp() override {
    if (target().windows) return;
    if (!IsSocket("/run/systemd/journal/socket") && !IsSocket("/dev/log")) return;
    const std::string why = EnterPrivateMountNamespace();
    if (!why.empty()) {
      std::cerr << "the runs may reach this machine's journal or syslog: " << why << "\n";
      return;
    }
    if (fs::is_directory(kJournalFolder)) {
      mount("tmpfs", kJournalFolder, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755");
    }
    if (IsSocket("/dev/log")) mount("/dev/null", "/dev/log", nullptr, MS_BIND, nullptr);
  }
};

const ::testing::Environment* const kKeepOut =
    ::testing::AddGlobalTestEnvironment(new KeepOutOfTheSystemLogs);

uint64_t LittleEndian64(const std::string& bytes, size_t at) {
  uint64_t value = 0;
  for (size_t i = 0; i < 8; ++i) value |= static_cast<uint64_t>(uint8_t(bytes[at + i])) << (8 * i);
  return value;
}

std::string ReadWhole(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t got = 0;
  while ((got = pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0) {
    text.append(buffer, static_cast<size_t>(got));
  }
  return text;
}

}  // namespace

JournalFields ParseJournalDatagram(const std::string& datagram) {
  JournalFields fields;
  size_t at = 0;
  while (at < datagram.size()) {
    const size_t end = datagram.find('\n', at);
    if (end == std::string::npos) break;
    const std::string line = datagram.substr(at, end - at);
    const size_t equals = line.find('=');
    if (equals != std::string::npos) {
      fields.emplace_back(line.substr(0, equals), line.substr(equals + 1));
      at = end + 1;
      continue;
    }
    // The binary form: the name, its value's length, the value, a line break.
    if (end + 9 > datagram.size()) break;
    const uint64_t length = LittleEndian64(datagram, end + 1);
    if (end + 9 + length + 1 > datagram.size()) break;
    fields.emplace_back(line, datagram.substr(end + 9, length));
    at = end + 9 + length + 1;
  }
  return fields;
}

std::string FieldOf(const JournalFields& fields, const std::string& name) {
  for (const auto& field : fields) {
    if (field.first == name) return field.second;
  }
  return "<absent>";
}

SystemLogListener::~SystemLogListener() {
  if (fd_ >= 0) close(fd_);
  if (dev_mounted_) umount2("/dev", MNT_DETACH);
  if (run_mounted_) umount2("/run", MNT_DETACH);
}

std::string SystemLogListener::Listen(const std::string& path) {
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return Errno("socket");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return Errno("bind " + path);
  }
  const int size = 4 << 20;
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  return std::string();
}

std::string SystemLogListener::ListenAsJournal() {
  if (target().windows) return "the journal is Linux's";
  std::string why = EnterPrivateMountNamespace();
  if (!why.empty()) return why;
  if (mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
    return Errno("mount /run");
  }
  run_mounted_ = true;
  fs::create_directories(kJournalFolder);
  return Listen(std::string(kJournalFolder) + "/socket");
}

std::string SystemLogListener::ListenAsSyslog() {
  if (target().windows) return "syslog is Linux's";
  std::string why = EnterPrivateMountNamespace();
  if (!why.empty()) return why;
  if (mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
    return Errno("mount /run");
  }
  run_mounted_ = true;
  // A /dev of its own, each entry of the machine's but the log a link to it.
  fs::create_directories(kHostDev);
  if (mount("/dev", kHostDev, nullptr, MS_BIND | MS_REC, nullptr) != 0) return Errno("bind /dev");
  if (mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=0755") != 0) return Errno("mount /dev");
  dev_mounted_ = true;
  for (const auto& entry : fs::directory_iterator(kHostDev)) {
    const std::string name = entry.path().filename().string();
    if (name != "log") fs::create_symlink(entry.path(), "/dev/" + name);
  }
  return Listen("/dev/log");
}

std::vector<std::string> SystemLogListener::Received() {
  std::vector<std::string> datagrams;
  std::string buffer(1 << 20, '\0');
  for (;;) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    iovec part{&buffer[0], buffer.size()};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t got = recvmsg(fd_, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (got < 0) break;
    cmsghdr* rights = CMSG_FIRSTHDR(&message);
    if (rights != nullptr && rights->cmsg_type == SCM_RIGHTS) {
      int memory = -1;
      std::memcpy(&memory, CMSG_DATA(rights), sizeof memory);
      datagrams.push_back(ReadWhole(memory));
      close(memory);
    } else {
      datagrams.push_back(buffer.substr(0, static_cast<size_t>(got)));
    }
  }
  return datagrams;
}

}  // namespace e2e
