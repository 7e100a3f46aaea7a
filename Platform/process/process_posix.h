// What the POSIX files that start programs and load libraries share: the
// one start of a program (spawn_posix.cpp), what holds a program with a time
// limit (containment_posix.cpp, control_group_posix.cpp, escapees_posix.cpp)
// and the wait for it (wait_posix.cpp). Private to Platform/*_posix.cpp.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Platform/process/process.h"

namespace platform {
namespace posix {

struct SharedGroup;

// The descriptor through which an opened program is executed.
constexpr int kOpenedProgramFd = 3;

// What a program is started with: the child keeps only the standard
// descriptors, so nothing of ours (the instance lock, the log) leaks into
// it; with output_fd, that descriptor becomes its standard output and error;
// with program_fd (never kOpenedProgramFd itself), that one becomes
// kOpenedProgramFd. With group_procs (a group's cgroup.procs, open for
// writing), the child joins that control group before it runs anything of
// its own, so that what the program starts is born there while the caller
// never enters it, and gets a control-group namespace rooted there where the
// system allows; with own_process_group, it leads a process group of its own;
// with new_process_group, it joins a process group made for it that it does
// not lead (so it may still make a session of its own), which lasts as long
// as a process is in it: a signal to its group reaches nothing of the caller's.
// A launcher (launcher_posix.cpp) starts children inside its group: with
// in_group, the child roots its control-group namespace where it is born,
// and with for_parent it is born the child of the caller's parent, which
// reaps it, even when the start failed.
// With as_user (a person's session, ProgramRequest::as_user), the child
// makes a session of its own with setsid() in place of the process-group
// steps (it then leads that session and a process group of its own, so the
// terminal and the groups of this process are none of its business), and,
// with switch_user, takes the person's identity just before it executes the
// program: setgroups (the person's supplementary groups in place of this
// process's), setgid, then setuid, in that order, for once the user id is
// given up the others can no longer be changed; a failure of any means the
// program does not run. It executes the program with envp alone. As the
// program leads a session already, a setsid() of its own fails (EPERM)
// unless it forks first, as daemons do. Every array is made by the caller:
// the child allocates nothing.
struct ChildSetup {
  const char* path = nullptr;
  char* const* argv = nullptr;
  int output_fd = -1;
  int program_fd = -1;
  int group_procs = -1;
  bool own_process_group = false;
  bool new_process_group = false;
  bool in_group = false;
  bool for_parent = false;
  bool as_user = false;
  bool switch_user = false;
  uint32_t uid = 0;
  uint32_t gid = 0;
  const gid_t* groups = nullptr;
  size_t group_count = 0;
  char* const* envp = nullptr;  // with as_user; else this process's environment
};

// A person's account as the user database has it (getpwuid_r; the shell
// /bin/sh when it names none) and the groups that name it (getgrouplist).
struct Account {
  std::string name;
  std::string home;
  std::string shell;
  uint32_t gid = 0;
  std::vector<uint32_t> groups;
};
// False when the user database has no such account.
bool ReadAccount(uint32_t uid, Account* account);

// What the login manager says of a session (sd-login); empty: not said.
struct SessionFacts {
  std::string id;
  std::string type;     // "x11", "wayland", "tty"...
  std::string display;  // the X display
  std::string seat;
  uint32_t uid = 0;
  bool local = false;  // said not to be remote
};
// The whole environment of a program started in the session: the
// account's HOME, USER, LOGNAME and SHELL, a PATH of the system's folders
// then product_folder, the runtime folder, session bus, X display and
// authority and Wayland socket where they are there as the person's own,
// and the session's id, type and seat.
std::vector<std::string> SessionEnvironment(const Account& account, const SessionFacts& session,
                                            const std::string& product_folder);

// The folder of this process's own control group: where the cgroup v2
// hierarchy is mounted (/sys/fs/cgroup, or .../unified on a hybrid system)
// joined with the group /proc/self/cgroup names. Empty where there is none.
std::string OwnGroupFolder();

// Starts a program as ChildSetup says: every signal with its default action
// and none blocked, whatever the caller left ignored or blocked. 0 or the
// errno of what failed (the start itself, joining the group, setting up a
// descriptor or the process group, executing the program: nothing of the
// program ran then, and no child is left to reap, but with for_parent, when
// *pid is the child the caller's parent reaps). *inside: whether the child
// got into the group. *group, when asked: the process group the child was
// placed in (0: the caller's).
int StartChild(const ChildSetup& setup, pid_t* pid, bool* inside, pid_t* group = nullptr);

// Gives the limit on open files back as the caller of the run set it
// (RaiseDescriptorLimit), in a started child before it executes its program.
void RestoreCallerDescriptorLimit();

// A pipe for a program's standard output and error. The program gets a copy
// of the write end; the caller keeps its own, so that the program's end, not
// its closing of the output a moment before, is what wakes a wait. The read
// end never blocks the caller.
class OutputPipe {
 public:
  OutputPipe();
  ~OutputPipe();
  OutputPipe(const OutputPipe&) = delete;
  OutputPipe& operator=(const OutputPipe&) = delete;

  bool valid() const { return read_fd_ >= 0; }
  int write_fd() const { return write_fd_; }
  int read_fd() const { return read_fd_; }
  // Reads what is there now, at most limit bytes; false on an error.
  bool ReadAvailable(OutputKeeper* keeper, size_t limit);

 private:
  int read_fd_ = -1;
  int write_fd_ = -1;
};

// Watches a started, unreaped child: its id cannot pass to another process
// meanwhile, so the child (and a group it leads) may be signalled safely.
class ChildWatch {
 public:
  ChildWatch(pid_t pid, OutputPipe* output, OutputKeeper* keeper,
             const std::function<void()>* tick);
  ~ChildWatch();
  ChildWatch(const ChildWatch&) = delete;
  ChildWatch& operator=(const ChildWatch&) = delete;

  // Waits until the child ends, reading its output and ticking meanwhile;
  // false when timeout_ms (negative: none) ran out first. Once it has ended,
  // the output that is there is read and no more.
  bool WaitForEnd(int timeout_ms) { return Wait(timeout_ms, false) == WaitEnd::kEnded; }
  enum class WaitEnd { kEnded, kTimedOut, kEndRequested };
  // The same; with heed_end_request, it also stops once the run is asked to
  // end (CatchEndRequests), and says so.
  WaitEnd Wait(int timeout_ms, bool heed_end_request);
  // Sends signal to the child itself, through its pidfd where there is one.
  void Signal(int signal) const;
  // Reaps the child; its exit code (128 + N for signal N, which is kept).
  uint32_t Reap(uint32_t* signal);

 private:
  bool HasEnded() const;
  void Pump(int wait_ms, bool* output_open, bool heed_end_request);

  pid_t pid_;
  int pidfd_;
  OutputPipe* output_;
  OutputKeeper* keeper_;
  const std::function<void()>* tick_;
  int64_t next_tick_ms_;
};

// A process born once in a control group (clone3 into the group, with a
// copy of this process's memory) that starts programs there on request, each
// as this process's own child (CLONE_PARENT) that shares the launcher's
// memory until it executes, as StartChild's do: no start moves a process into
// the group, which would wait for the kernel's grace period. It ends when its
// holder goes, or with this process.
class Launcher {
 public:
  // Starts the launcher in the group whose folder group_folder is open;
  // usable() is false where the system does not let it.
  explicit Launcher(int group_folder);
  ~Launcher();
  Launcher(const Launcher&) = delete;
  Launcher& operator=(const Launcher&) = delete;
  bool usable() const { return socket_ >= 0; }
  pid_t pid() const { return pid_; }
  // Has the program started as setup says (its group_procs and
  // own_process_group unused; each program gets a new process group). False when the launcher could
  // not be asked, and it is given up; else true with the start's error (0 or an errno).
  bool Start(const ChildSetup& setup, pid_t* pid, int* error);

 private:
  void GiveUp();
  pid_t pid_ = -1;
  int socket_ = -1;
};

// A control group (cgroup v2) below the one this process is in, empty when
// a program is started in it; one serves every program of a run in turn and
// is removed when the process ends.
class ControlGroup {
 public:
  // Takes the group, made where the system lets this process; else usable()
  // is false and nothing was made.
  ControlGroup();
  // Moves what is left in the group to this process's group.
  ~ControlGroup();
  ControlGroup(const ControlGroup&) = delete;
  ControlGroup& operator=(const ControlGroup&) = delete;

  bool usable() const { return made_; }
  // Starts the program inside the group. False when it could not be put
  // there (nothing was run); true with the start's error (0) otherwise.
  bool StartInside(const ChildSetup& setup, pid_t* pid, int* error);
  // Sends signal to every process in the group and the groups below it but
  // the launcher.
  void SignalAll(int signal) const;
  // The processes in the group and the groups below it, its launcher among them.
  std::vector<pid_t> Members() const;
  // Ends every process in the group at once; true when the group is empty
  // within timeout_ms.
  bool KillAll(int timeout_ms) const;

 private:
  // The members but the launcher: what the programs left there.
  std::vector<pid_t> Programs() const;
  bool WaitEmpty(int timeout_ms) const;
  bool Populated() const;
  bool HasGroupsBelow() const;

  SharedGroup& group_;
  bool made_ = false;
};

// The processes of a timed-out program outside its control group: those
// that carry the control-group namespace it was started in, and those that
// descend from it (a descendant whose parent ended is reparented out of
// reach). Each is held by a pidfd from the moment it is found, so no signal
// reaches a process that took the id of one that ended.
// The processes of the process group group leads, the leader among them.
std::vector<pid_t> ProcessGroupMembers(pid_t group);

class Escapees {
 public:
  // Takes the program's namespace from the unreaped program.
  explicit Escapees(pid_t program);
  ~Escapees();
  Escapees(const Escapees&) = delete;
  Escapees& operator=(const Escapees&) = delete;

  // Looks through every process for the program's that are not in_group,
  // and holds those not held yet.
  void Find(const std::vector<pid_t>& in_group);
  void Signal(int signal) const;
  // Kills what is held and what is found anew, round after round, until a
  // round finds nothing new; false when one did not end within timeout_ms
  // or the rounds ran out.
  bool EndAll(const std::vector<pid_t>& in_group, int timeout_ms);
  uint32_t count() const { return static_cast<uint32_t>(held_.size()); }
  // False when one may have gone unseen: the program has no namespace of
  // its own (so nothing marks what it started), the process list could not
  // be read, or too many were found.
  bool complete() const { return complete_; }

 private:
  struct Facts {
    pid_t pid = 0;
    pid_t parent = 0;
    uint64_t start = 0;
    bool tagged = false;  // in the program's namespace
  };
  struct Held {
    pid_t pid;
    uint64_t start;
    int pidfd;
  };
  bool ListProcesses(std::vector<Facts>* all) const;
  void Hold(const Facts& facts);
  bool WaitEnded(int timeout_ms) const;

  pid_t program_;
  struct stat tag_ = {};
  bool namespaced_ = false;
  bool complete_ = false;
  std::vector<Held> held_;
};

// The read end of the pipe the end-request handler writes to: readable
// from the first request on, so that a wait can watch it; -1 before
// CatchEndRequests.
int EndRequestFd();

// A program with a time limit: started in a control group of its own where
// one can be made (nothing it starts gets out), else as the leader of a
// process group of its own. Without a limit the start is the plain one. A
// program never shares this process's process group (in a group or without
// a limit it joins a new one it does not lead), so that a signal it sends to
// its group (kill 0) reaches neither this process nor another program.
class Containment {
 public:
  explicit Containment(bool limited);
  Containment(const Containment&) = delete;
  Containment& operator=(const Containment&) = delete;

  // Starts the program: inside the group where there is one and the child
  // could join it, else (with a limit) as the leader of a process group.
  int Start(const ChildSetup& setup, pid_t* pid);
  // Asks everything contained to end (the program's process group where
  // there is no control group); after the grace (or once the program has ended) ends it
  // by force, the program itself last, by its own handle.
  // Never waits without limit. The group is signalled while the program is
  // unreaped, so its id is still the program's own.
  void End(pid_t pid, ChildWatch* watch, ProgramResult* result);

 private:
  void EndGroup(pid_t pid, ChildWatch* watch, ProgramResult* result);

  bool limited_;
  pid_t process_group_ = 0;  // the one it was started in, without a control group
  std::unique_ptr<ControlGroup> group_;
};

// Calls the test hook of SetBeforeOpenedUseForTesting, when one is set:
// between the check of an opened file and its use.
void RunBeforeOpenedUse();

}  // namespace posix
}  // namespace platform
