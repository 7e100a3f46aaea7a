// The processes of a timed-out program that are outside its control group:
// a process running as root may move itself out where the hierarchy is not
// mounted with nsdelegate. It keeps the control-group namespace the program
// was started in (leaving that too takes the rights and the intent), and
// while its parent lives it descends from the program; either way it is
// found here and ended with the group.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <unordered_set>

#include "Platform/posix_support.h"
#include "Platform/process/process_posix.h"

namespace platform {
namespace posix {
namespace {

// The most processes held outside a group; beyond them some may be missed.
constexpr size_t kMostHeld = 4096;
// How often what is found outside is ended and looked for again, for
// processes that move out or are started outside meanwhile.
constexpr int kEndRounds = 8;

std::string ProcFile(pid_t pid, const char* name) {
  return "/proc/" + std::to_string(pid) + "/" + name;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Calls visit with the id of every process /proc lists; false when it
// cannot be read.
bool EachProcess(const std::function<void(pid_t)>& visit) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return false;
  while (const dirent* entry = readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (*end == '\0' && pid > 0) visit(static_cast<pid_t>(pid));
  }
  closedir(proc);
  return true;
}

}  // namespace

Escapees::Escapees(pid_t program) : program_(program) {
  struct stat own;
  namespaced_ = stat("/proc/self/ns/cgroup", &own) == 0 &&
                stat(ProcFile(program, "ns/cgroup").c_str(), &tag_) == 0 && !SameFile(own, tag_);
  complete_ = namespaced_;
}

Escapees::~Escapees() {
  for (const Held& held : held_) close(held.pidfd);
}

std::vector<pid_t> ProcessGroupMembers(pid_t group) {
  std::vector<pid_t> members;
  EachProcess([&](pid_t pid) {
    if (getpgid(pid) == group) members.push_back(pid);
  });
  return members;
}

bool Escapees::ListProcesses(std::vector<Facts>* all) const {
  return EachProcess([&](pid_t pid) {
    Facts facts;
    facts.pid = pid;
    if (!ReadStat(facts.pid, &facts.parent, &facts.start)) return;
    struct stat ns;
    facts.tagged = namespaced_ && stat(ProcFile(facts.pid, "ns/cgroup").c_str(), &ns) == 0 &&
                   SameFile(ns, tag_);
    all->push_back(facts);
  });
}

void Escapees::Find(const std::vector<pid_t>& in_group) {
  std::vector<Facts> all;
  if (!ListProcesses(&all)) {
    complete_ = false;
    return;
  }
  // The program's: the program, what carries its namespace, and what
  // descends from either.
  std::unordered_set<pid_t> theirs{program_};
  for (const Facts& facts : all) {
    if (facts.tagged) theirs.insert(facts.pid);
  }
  for (bool grew = true; grew;) {
    grew = false;
    for (const Facts& facts : all) {
      if (theirs.count(facts.parent) != 0 && theirs.insert(facts.pid).second) grew = true;
    }
  }
  const std::unordered_set<pid_t> inside(in_group.begin(), in_group.end());
  for (const Facts& facts : all) {
    if (theirs.count(facts.pid) != 0 && inside.count(facts.pid) == 0) Hold(facts);
  }
  // A child of this process started after the program, outside its group
  // and namespace, was made by it as a sibling (CLONE_PARENT): not the
  // program's descendant, so not ended, but the line must not say it was.
  const pid_t self = getpid();
  uint64_t program_start = 0;
  pid_t program_parent = 0;
  if (!ReadStat(program_, &program_parent, &program_start)) return;
  for (const Facts& facts : all) {
    if (facts.parent == self && facts.pid != program_ && facts.start >= program_start &&
        theirs.count(facts.pid) == 0 && inside.count(facts.pid) == 0) {
      complete_ = false;
    }
  }
}

void Escapees::Hold(const Facts& facts) {
  for (const Held& held : held_) {
    if (held.pid == facts.pid && held.start == facts.start) return;
  }
  if (held_.size() >= kMostHeld) {
    complete_ = false;
    return;
  }
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, facts.pid, 0));
  if (pidfd < 0) return;  // ended meanwhile
  // The id may have passed to another process before the pidfd was open.
  pid_t parent = 0;
  uint64_t start = 0;
  if (!ReadStat(facts.pid, &parent, &start) || start != facts.start) {
    close(pidfd);
    return;
  }
  held_.push_back({facts.pid, facts.start, pidfd});
}

void Escapees::Signal(int signal) const {
  for (const Held& held : held_) syscall(SYS_pidfd_send_signal, held.pidfd, signal, nullptr, 0);
}

bool Escapees::WaitEnded(int timeout_ms) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  std::vector<struct pollfd> watch;
  for (const Held& held : held_) watch.push_back({held.pidfd, POLLIN, 0});
  while (!watch.empty()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    // A pidfd is readable once its process has ended.
    if (poll(watch.data(), watch.size(), static_cast<int>(left.count())) < 0 && errno != EINTR) {
      return false;
    }
    const auto ended = [](const struct pollfd& p) { return p.revents != 0; };
    watch.erase(std::remove_if(watch.begin(), watch.end(), ended), watch.end());
  }
  return true;
}

bool Escapees::EndAll(const std::vector<pid_t>& in_group, int timeout_ms) {
  for (int round = 0; round < kEndRounds; ++round) {
    const size_t known = held_.size();
    Find(in_group);
    Signal(SIGKILL);
    if (!WaitEnded(timeout_ms)) return false;
    if (held_.size() == known && round > 0) return true;
  }
  return false;
}

}  // namespace posix
}  // namespace platform
