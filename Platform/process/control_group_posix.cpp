// A control group (cgroup v2) for one program with a time limit: whatever
// the program does with sessions and process groups, what it starts stays in
// the group or the groups it makes below it, and the group can be ended
// whole and removed with them.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "Platform/posix_support.h"
#include "Platform/process/process_posix.h"

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

bool WriteText(const std::string& file, const std::string& text) {
  int fd = Retry([&] { return open(file.c_str(), O_WRONLY | O_CLOEXEC); });
  if (fd < 0) return false;
  const bool ok = WriteAll(fd, text);
  return close(fd) == 0 && ok;
}

void AddProcessesIn(const std::string& folder, std::vector<pid_t>* pids) {
  std::ifstream procs(folder + "/cgroup.procs");
  long pid = 0;
  while (procs >> pid) pids->push_back(static_cast<pid_t>(pid));
}

// The most groups below a group that are looked at.
constexpr size_t kMostFolders = 4096;

// The folders of the group at root and of every group below it, parents first.
std::vector<std::string> GroupTree(const std::string& root) {
  std::vector<std::string> folders{root};
  for (size_t i = 0; i < folders.size() && folders.size() < kMostFolders; ++i) {
    DIR* folder = opendir(folders[i].c_str());
    if (folder == nullptr) continue;
    while (const dirent* entry = readdir(folder)) {
      const std::string name = entry->d_name;
      if (entry->d_type == DT_DIR && name != "." && name != "..") {
        folders.push_back(folders[i] + "/" + name);
      }
    }
    closedir(folder);
  }
  return folders;
}

std::vector<pid_t> ProcessesIn(const std::string& root) {
  std::vector<pid_t> pids;
  for (const std::string& folder : GroupTree(root)) AddProcessesIn(folder, &pids);
  return pids;
}

// Removes the groups below root, deepest first, and root too when asked;
// true when all of them are gone. Only empty groups can be removed.
bool RemoveTree(const std::string& root, bool with_root) {
  const std::vector<std::string> folders = GroupTree(root);
  bool removed = true;
  for (size_t i = folders.size(); i-- > (with_root ? 0u : 1u);) {
    removed = rmdir(folders[i].c_str()) == 0 && removed;
  }
  return removed;
}

// How often what is left in a group after its program is moved out before
// the group is given up (a process that forks without end).
constexpr int kMoveRounds = 8;

// This process's group is looked up once: the program never moves itself.
const std::string& CachedOwnGroupFolder() {
  static const std::string folder = OwnGroupFolder();
  return folder;
}

// Moves pid into the group whose cgroup.procs is open as procs.
bool MoveInto(int procs, pid_t pid) { return procs >= 0 && WriteAll(procs, std::to_string(pid)); }

// The process a group of this program's is named after ("taverly-<pid>-<n>"), else 0.
pid_t RunOfGroup(const std::string& name) {
  unsigned long pid = 0, number = 0;
  int length = 0;
  if (std::sscanf(name.c_str(), "taverly-%lu-%lu%n", &pid, &number, &length) != 2 ||
      static_cast<size_t>(length) != name.size() || name.find('+') != std::string::npos) {
    return 0;
  }
  return static_cast<pid_t>(pid);
}

// The name of the file a process runs, without " (deleted)"; empty if unreadable.
std::string ProgramName(const std::string& process) {
  char target[4096];
  const ssize_t n = readlink((process + "/exe").c_str(), target, sizeof target - 1);
  if (n <= 0) return std::string();
  std::string path(target, static_cast<size_t>(n));
  const std::string deleted = " (deleted)";
  if (path.size() > deleted.size() &&
      path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0) {
    path.resize(path.size() - deleted.size());
  }
  return path.substr(path.rfind('/') + 1);
}

// Whether the run that made the group at folder is gone: its process ended,
// or its id names another program now, one that started after the group was
// made (the folder's time is never earlier than that; a second of slack for
// the boot time's whole seconds). A live run's group, or one that cannot be
// told, is never taken for gone.
bool RunIsGone(const std::string& folder, pid_t pid) {
  if (kill(pid, 0) != 0 && errno == ESRCH) return true;
  pid_t parent = 0;
  uint64_t start = 0;
  struct stat made;
  const long ticks = sysconf(_SC_CLK_TCK);
  std::ifstream stat_file("/proc/stat");
  unsigned long long boot = 0;
  for (std::string key; stat_file >> key && key != "btime";) {
  }
  if (!(stat_file >> boot) || ticks <= 0 || !ReadStat(pid, &parent, &start) ||
      stat(folder.c_str(), &made) != 0) {
    return false;
  }
  const std::string process = "/proc/" + std::to_string(pid);
  const long long started = static_cast<long long>(boot + start / static_cast<uint64_t>(ticks));
  return started > static_cast<long long>(made.st_mtime) + 2 &&
         ProgramName(process) != ProgramName("/proc/self");
}

// Ends what a gone run left in its group at folder and removes it, and those below.
void EndGroupOfGoneRun(const std::string& folder) {
  if (!WriteText(folder + "/cgroup.kill", "1")) {
    for (pid_t pid : ProcessesIn(folder)) kill(pid, SIGKILL);
  }
  for (int wait = 0; wait < 100 && !ProcessesIn(folder).empty(); ++wait) {
    poll(nullptr, 0, 10);
  }
  RemoveTree(folder, true);
}

// The groups below parent that runs of this program left and that are gone
// (a run killed outright leaves its group behind).
void EndGroupsOfGoneRuns(const std::string& parent) {
  DIR* folder = opendir(parent.c_str());
  if (folder == nullptr) return;
  std::vector<std::string> gone;
  while (const dirent* entry = readdir(folder)) {
    const pid_t pid = entry->d_type == DT_DIR ? RunOfGroup(entry->d_name) : 0;
    const std::string path = parent + "/" + entry->d_name;
    // One named after this run's id is a gone run's (none is made yet); one
    // holding a process listed as 0 (another pid namespace's) is never judged.
    if (pid <= 0 || (pid != getpid() && !RunIsGone(path, pid))) continue;
    const std::vector<pid_t> members = ProcessesIn(path);
    if (std::find(members.begin(), members.end(), 0) == members.end()) gone.push_back(path);
  }
  closedir(folder);
  for (const std::string& path : gone) EndGroupOfGoneRun(path);
}

}  // namespace

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

// The group programs with a time limit start in: made on first use, emptied
// after each of them, so each starts in an empty group, and removed when the
// process ends. Making a group per program would cost more than the start;
// its files stay open for the same reason.
struct SharedGroup {
  ~SharedGroup() {
    Drop(true);
    for (const std::string& left : abandoned) RemoveTree(left, true);
  }
  bool Make(const std::string& parent) {
    static unsigned counter = 0;
    if (counter == 0) EndGroupsOfGoneRuns(parent);
    int made = -1;  // a name another namespace's run holds is passed by
    for (int tries = 0; made != 0 && tries < 8; ++tries) {
      path = parent + "/taverly-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
      made = mkdir(path.c_str(), 0700);
      if (made != 0 && errno != EEXIST) break;
    }
    if (made != 0) {
      path.clear();
      return false;
    }
    const auto open_file = [](const std::string& file, int flags) {
      return Retry([&] { return open(file.c_str(), flags | O_CLOEXEC); });
    };
    folder = open_file(path, O_RDONLY | O_DIRECTORY);
    into = open_file(path + "/cgroup.procs", O_WRONLY);
    listed = open_file(path + "/cgroup.procs", O_RDONLY);
    events = open_file(path + "/cgroup.events", O_RDONLY);
    stat = open_file(path + "/cgroup.stat", O_RDONLY);
    if (out_of < 0) out_of = open_file(parent + "/cgroup.procs", O_WRONLY);
    if (into >= 0 && listed >= 0 && events >= 0 && stat >= 0 && out_of >= 0) return true;
    Drop(true);
    return false;
  }
  // Forgets the group; removes it too, with the groups below it, when asked
  // (they must be empty). One that is not removed is tried again at the end.
  void Drop(bool remove) {
    launcher.reset();
    for (int* fd : {&folder, &into, &listed, &events, &stat}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
    if (!path.empty() && !(remove && RemoveTree(path, true))) abandoned.push_back(path);
    path.clear();
    killed = false;
  }
  // The group's launcher, made at the group's first start and again when it
  // ended (killed with the group); not again once the system refused one.
  Launcher* TheLauncher() {
    if (launcher != nullptr && launcher->usable()) return launcher.get();
    if (launcher_refused) return nullptr;
    launcher.reset(new Launcher(folder));
    launcher_refused = !launcher->usable();
    return launcher_refused ? nullptr : launcher.get();
  }
  // The launcher's id while it runs, else -1.
  pid_t LauncherPid() const { return launcher != nullptr ? launcher->pid() : -1; }

  std::string path;
  int folder = -1, into = -1, listed = -1, events = -1, stat = -1, out_of = -1;
  std::unique_ptr<Launcher> launcher;
  bool launcher_refused = false;
  bool killed = false;  // through cgroup.kill
  std::vector<std::string> abandoned;
};

namespace {

SharedGroup& TheSharedGroup() {
  static SharedGroup group;
  return group;
}

}  // namespace

ControlGroup::ControlGroup() : group_(TheSharedGroup()) {
  const std::string& parent = CachedOwnGroupFolder();
  made_ = !parent.empty() && (!group_.path.empty() || group_.Make(parent));
}

ControlGroup::~ControlGroup() {
  if (!usable()) return;
  // What the program left running goes on, as it would without the group:
  // it is moved out, so the next program starts in an empty group.
  bool populated = Populated();
  for (int round = 0; round < kMoveRounds && populated; ++round) {
    for (pid_t pid : Programs()) MoveInto(group_.out_of, pid);
    populated = Populated();
  }
  // The groups the program made below its own go with it. One that enabled
  // controllers for groups below it can hold no program itself.
  bool as_made = !populated;
  if (as_made && HasGroupsBelow()) {
    std::ifstream controllers(group_.path + "/cgroup.subtree_control");
    std::string enabled;
    as_made = RemoveTree(group_.path, false) && controllers && !(controllers >> enabled);
  }
  // A group that could not be emptied is left as it is (and removed at the
  // end if it can be by then); the next program gets a new one.
  if (!as_made || group_.killed) group_.Drop(!populated);
}

bool ControlGroup::StartInside(const ChildSetup& setup, pid_t* pid, int* error) {
  if (!usable()) return false;
  Launcher* launcher = group_.TheLauncher();
  if (launcher != nullptr && launcher->Start(setup, pid, error)) return true;
  // Without a launcher the child joins the group itself.
  ChildSetup joining = setup;
  joining.group_procs = group_.into;
  bool inside = false;
  *error = StartChild(joining, pid, &inside);
  return inside;
}

void ControlGroup::SignalAll(int signal) const {
  for (pid_t pid : Programs()) kill(pid, signal);
}

std::vector<pid_t> ControlGroup::Members() const { return ProcessesIn(group_.path); }

std::vector<pid_t> ControlGroup::Programs() const {
  std::vector<pid_t> members = Members();
  const pid_t launcher = group_.LauncherPid();
  if (launcher > 0) {
    members.erase(std::remove(members.begin(), members.end(), launcher), members.end());
  }
  return members;
}

bool ControlGroup::HasGroupsBelow() const {
  char text[256];
  const ssize_t n = Retry([&] { return pread(group_.stat, text, sizeof text - 1, 0); });
  if (n <= 0) return GroupTree(group_.path).size() > 1;
  text[n] = '\0';
  return std::strstr(text, "nr_descendants 0\n") == nullptr;
}

bool ControlGroup::KillAll(int timeout_ms) const {
  // The launcher goes with the group; the next start makes another.
  if (WriteText(group_.path + "/cgroup.kill", "1")) {
    group_.launcher.reset();
    // Some kernels kill what is born into a group that was killed once: the
    // next program gets a new group.
    group_.killed = true;
  } else {
    // Without cgroup.kill (before Linux 5.14).
    for (int round = 0; round < kMoveRounds; ++round) SignalAll(SIGKILL);
  }
  return WaitEmpty(timeout_ms);
}

bool ControlGroup::Populated() const {
  // The launcher keeps the group populated: what else is in it tells.
  const pid_t launcher = group_.LauncherPid();
  if (launcher > 0 && HasGroupsBelow()) return !Programs().empty();
  if (launcher > 0) {
    char text[4096];
    const ssize_t n = Retry([&] { return pread(group_.listed, text, sizeof text - 1, 0); });
    if (n <= 0 || static_cast<size_t>(n) >= sizeof text - 1) return !Programs().empty();
    text[n] = '\0';
    const std::string own = std::to_string(launcher) + "\n";
    return std::strcmp(text, own.c_str()) != 0;
  }
  char text[128];
  const ssize_t n = Retry([&] { return pread(group_.events, text, sizeof text - 1, 0); });
  if (n <= 0) return !ProcessesIn(group_.path).empty();
  text[n] = '\0';
  return std::strstr(text, "populated 0") == nullptr;
}

bool ControlGroup::WaitEmpty(int timeout_ms) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  bool empty = false;
  while (!(empty = !Populated())) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    // The kernel marks cgroup.events when "populated" changes.
    struct pollfd watch = {group_.events, POLLPRI, 0};
    poll(&watch, 1, static_cast<int>(std::min<int64_t>(left.count(), 10)));
  }
  return empty;
}

}  // namespace posix
}  // namespace platform
