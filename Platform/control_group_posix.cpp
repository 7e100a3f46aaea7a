// A control group (cgroup v2) for one program with a time limit: whatever
// the program does with sessions and process groups, what it starts stays in
// the group, and the group can be ended whole.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <vector>

#include "Platform/child_posix.h"
#include "Platform/posix_support.h"

namespace platform {
namespace posix {
namespace {

bool IsOctal(char c) { return c >= '0' && c <= '7'; }

// Undoes the octal escapes (\040 for a blank) of /proc/self/mountinfo.
std::string Unescape(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && IsOctal(field[i + 1]) &&
        IsOctal(field[i + 2]) && IsOctal(field[i + 3])) {
      out += static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

// The folder of this process's own group: where the cgroup v2 hierarchy is
// mounted (/sys/fs/cgroup, or .../unified on a hybrid system) joined with
// the group /proc/self/cgroup names. Empty where there is none.
std::string OwnGroupFolder() {
  std::ifstream groups("/proc/self/cgroup");
  std::string line, own;
  while (std::getline(groups, line)) {
    if (line.rfind("0::", 0) == 0) own = line.substr(3);
  }
  if (own.empty() || own[0] != '/') return std::string();
  std::ifstream mounts("/proc/self/mountinfo");
  while (std::getline(mounts, line)) {
    const size_t separator = line.find(" - ");
    if (separator == std::string::npos || line.compare(separator + 3, 8, "cgroup2 ") != 0) continue;
    std::istringstream fields(line.substr(0, separator));
    std::string id, parent, device, root, mount_point;
    if (!(fields >> id >> parent >> device >> root >> mount_point)) continue;
    root = Unescape(root);
    if (root != "/" && own.compare(0, root.size() + 1, root + "/") != 0 && own != root) continue;
    const std::string inside = root == "/" ? own : own.substr(root.size());
    return Unescape(mount_point) + (inside == "/" ? std::string() : inside);
  }
  return std::string();
}

bool WriteText(const std::string& file, const std::string& text) {
  int fd = Retry([&] { return open(file.c_str(), O_WRONLY | O_CLOEXEC); });
  if (fd < 0) return false;
  const bool ok = WriteAll(fd, text);
  return close(fd) == 0 && ok;
}

std::vector<pid_t> ProcessesIn(const std::string& folder) {
  std::ifstream procs(folder + "/cgroup.procs");
  std::vector<pid_t> pids;
  long pid = 0;
  while (procs >> pid) pids.push_back(static_cast<pid_t>(pid));
  return pids;
}

// How often what is left in a group after its program is moved out before
// the group is given up (a process that forks without end).
constexpr int kMoveRounds = 8;

}  // namespace

ControlGroup::ControlGroup() : parent_(OwnGroupFolder()) {
  if (parent_.empty()) return;
  static std::atomic<unsigned> counter{0};
  path_ = parent_ + "/taverly-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
  if (mkdir(path_.c_str(), 0700) != 0) return;
  dir_fd_ = Retry([&] { return open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (dir_fd_ < 0) rmdir(path_.c_str());
}

ControlGroup::~ControlGroup() {
  if (!usable()) return;
  const std::string self = std::to_string(getpid());
  if (holds_us_) holds_us_ = !WriteText(parent_ + "/cgroup.procs", self);
  // What the program left running goes on, as it would without the group.
  for (int round = 0; round < kMoveRounds && Populated() && !holds_us_; ++round) {
    for (pid_t pid : ProcessesIn(path_)) WriteText(parent_ + "/cgroup.procs", std::to_string(pid));
  }
  close(dir_fd_);
  rmdir(path_.c_str());  // fails, and leaves an empty group behind, only if that could not be done
}

bool ControlGroup::SpawnInside(const std::function<int()>& spawn, int* spawn_error) {
  const std::string self = std::to_string(getpid());
  if (!usable() || !WriteText(path_ + "/cgroup.procs", self)) return false;
  *spawn_error = spawn();
  holds_us_ = !WriteText(parent_ + "/cgroup.procs", self);
  return true;
}

void ControlGroup::SignalAll(int signal) const {
  for (pid_t pid : ProcessesIn(path_)) {
    if (pid != getpid()) kill(pid, signal);
  }
}

bool ControlGroup::KillAll(int timeout_ms) const {
  if (holds_us_ || !WriteText(path_ + "/cgroup.kill", "1")) {
    // Without cgroup.kill (before Linux 5.14), or with this process inside.
    for (int round = 0; round < kMoveRounds; ++round) SignalAll(SIGKILL);
  }
  return WaitEmpty(timeout_ms);
}

bool ControlGroup::Populated() const {
  std::ifstream events(path_ + "/cgroup.events");
  std::string key;
  int value = 1;
  while (events >> key >> value) {
    if (key == "populated") return value != 0;
  }
  return !ProcessesIn(path_).empty();
}

bool ControlGroup::WaitEmpty(int timeout_ms) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  int events = Retry([&] { return openat(dir_fd_, "cgroup.events", O_RDONLY | O_CLOEXEC); });
  bool empty = false;
  while (!(empty = !Populated() || (holds_us_ && ProcessesIn(path_).size() <= 1))) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    // The kernel marks cgroup.events when "populated" changes.
    struct pollfd watch = {events, POLLPRI, 0};
    poll(&watch, events >= 0 ? 1 : 0, static_cast<int>(std::min<int64_t>(left.count(), 10)));
  }
  if (events >= 0) close(events);
  return empty;
}

}  // namespace posix
}  // namespace platform
