// The one way a program is started on POSIX, for every item: a child that
// shares this process's memory until it executes the program, as
// posix_spawn's does, on a stack of its own (the C library's clone with
// CLONE_VM | CLONE_VFORK, so this process waits until the child has executed
// the program or ended). The child joins the program's control group and
// roots a control-group namespace there, or leads a process group of its own
// (or joins one made for it, which it does not lead),
// or, started as a person (ChildSetup::as_user), makes a session of its own
// and takes the person's identity (setgroups, setgid, setuid: the kernel's
// calls themselves), sets up its descriptors and signals, and executes the
// program with the person's environment. Whatever
// fails on the way is written, as its errno, into the one report the two
// share, and the child ends without running anything.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "Platform/posix_support.h"
#include "Platform/process/process_posix.h"

extern char** environ;

// The child runs in this process's memory on a stack the sanitizers do not
// know: their instrumentation (a stack of their own for locals among it)
// must not run there.
#define TAVERLY_CHILD_SIDE __attribute__((no_sanitize("address", "undefined")))

namespace platform {
namespace posix {
namespace {

// What the child and this process share until the child executes the
// program or ends: the setup to read, and the report it writes. Volatile:
// the compiler cannot see the child's writes.
struct ChildStart {
  const ChildSetup* setup;
  pid_t group;  // with new_process_group: the group to join
  volatile int error;
  volatile bool inside;
};

// The child's stack: made once, with a page below it that nobody may touch,
// so that an overflow faults rather than writes into this process's memory.
// Starts take it one at a time.
constexpr size_t kChildStackBytes = 64 * 1024;

std::mutex& ChildStackLock() {
  static std::mutex lock;
  return lock;
}

char* ChildStackTop() {
  static char* top = []() -> char* {
    const long page = sysconf(_SC_PAGESIZE);
    const size_t guard = page > 0 ? static_cast<size_t>(page) : 4096;
    void* base = mmap(nullptr,
                      kChildStackBytes + guard,
                      PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK,
                      -1,
                      0);
    if (base == MAP_FAILED) return nullptr;
    mprotect(base, guard, PROT_NONE);
    return static_cast<char*>(base) + guard + kChildStackBytes;
  }();
  return top;
}

// Makes fd the child's target descriptor; a descriptor that is the target
// already only loses its close-on-exec mark, as with posix_spawn.
TAVERLY_CHILD_SIDE bool CopyTo(int fd, int target) {
  if (fd == target) return fcntl(fd, F_SETFD, 0) == 0;
  int got = -1;
  do {
    got = dup2(fd, target);
  } while (got < 0 && errno == EINTR);
  return got == target;
}

// The entries of a directory as the kernel gives them, read without the C
// library's allocating directory stream.
struct DirectoryEntry {
  uint64_t inode;
  int64_t offset;
  unsigned short length;
  unsigned char type;
  char name[1];
};

// Closes what one pass over /proc/self/fd lists from first on (but the
// listing itself); -1 with errno when it cannot be read, else how many.
TAVERLY_CHILD_SIDE int ClosePass(int folder, int first) {
  alignas(DirectoryEntry) char buffer[1024];
  int closed = 0;
  lseek(folder, 0, SEEK_SET);
  long got = 0;
  while ((got = syscall(SYS_getdents64, folder, buffer, sizeof buffer)) > 0) {
    for (long at = 0; at < got;) {
      const auto* entry = reinterpret_cast<const DirectoryEntry*>(buffer + at);
      at += entry->length;
      int fd = 0;
      const char* c = entry->name;
      for (; *c >= '0' && *c <= '9'; ++c) fd = fd * 10 + (*c - '0');
      if (*c != '\0' || c == entry->name || fd < first || fd == folder) continue;
      close(fd);
      ++closed;
    }
  }
  return got < 0 ? -1 : closed;
}

// Closes every descriptor from first on: at once where the kernel can, else
// each one /proc/self/fd lists, as posix_spawn does. False, with errno, when
// they cannot be known.
TAVERLY_CHILD_SIDE bool CloseFrom(int first) {
  if (close_range(static_cast<unsigned>(first), ~0u, 0) == 0) return true;
  const int folder = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return false;
  // Closing changes the listing: again until a pass closes nothing.
  int closed = 0;
  while ((closed = ClosePass(folder, first)) > 0) {
  }
  const int error = errno;
  close(folder);
  errno = error;
  return closed == 0;
}

// A person's program gets nothing of the installer's standard streams: it
// could read what the installer hands this process, write where this
// process's own lines go, and hold a pipe the installer reads to its end.
// Standard input, and output that is not captured, are /dev/null.
TAVERLY_CHILD_SIDE bool UseNullStreams(const ChildSetup& setup) {
  const int null = open("/dev/null", O_RDWR);
  if (null < 0) return false;
  bool ready = CopyTo(null, STDIN_FILENO);
  if (ready && setup.output_fd < 0) {
    ready = CopyTo(null, STDOUT_FILENO) && CopyTo(null, STDERR_FILENO);
  }
  if (null > STDERR_FILENO) close(null);
  return ready;
}

// False, with errno, when a descriptor of the program could not be set up:
// it must not run with output or a file that is not the one meant.
TAVERLY_CHILD_SIDE bool SetUpFiles(const ChildSetup& setup) {
  if (setup.output_fd >= 0 &&
      !(CopyTo(setup.output_fd, STDOUT_FILENO) && CopyTo(setup.output_fd, STDERR_FILENO))) {
    return false;
  }
  if (setup.as_user && !UseNullStreams(setup)) return false;
  if (setup.program_fd >= 0 && !CopyTo(setup.program_fd, kOpenedProgramFd)) return false;
  return CloseFrom(setup.program_fd >= 0 ? kOpenedProgramFd + 1 : STDERR_FILENO + 1);
}

// Gives every signal its default action and blocks none: a handler of the
// caller's must not run here, and what the caller's own starter left ignored
// or blocked (both survive exec) is no part of what the program asked for.
TAVERLY_CHILD_SIDE void UseDefaultSignals() {
  for (int signal = 1; signal < NSIG; ++signal) {
    struct sigaction action;
    if (sigaction(signal, nullptr, &action) != 0) {
      // The C library keeps the signals it uses itself from sigaction; the
      // kernel's call takes them. All zeros is the default action, without
      // flags or mask, whatever the kernel's layout of the structure.
      const uint64_t defaults[8] = {};
      syscall(SYS_rt_sigaction, signal, defaults, nullptr, (NSIG - 1) / 8);
      continue;
    }
    if (action.sa_handler == SIG_DFL) continue;
    action.sa_handler = SIG_DFL;
    action.sa_flags = 0;
    sigaction(signal, &action, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Joins the group whose cgroup.procs is open as procs ("0" is the writer
// itself) and roots a control-group namespace there: where the hierarchy is
// mounted with nsdelegate, no process in the namespace can move out of the
// group, and everywhere the namespace marks what the program started,
// wherever it moved. Without the rights for a namespace the program runs in
// the caller's.
TAVERLY_CHILD_SIDE bool JoinGroup(int procs) {
  ssize_t written = -1;
  do {
    written = write(procs, "0", 1);
  } while (written < 0 && errno == EINTR);
  if (written != 1) return false;
  unshare(CLONE_NEWCGROUP);
  return true;
}

// Takes the person's identity: supplementary groups first, then the group,
// then the user, for once the user id is given up the rest may no longer be
// changed. Through the kernel's calls: the C library's would have every
// thread of the process whose memory the child shares change identity too,
// and the child is no thread of it; the kernel changes the caller alone.
TAVERLY_CHILD_SIDE bool TakeIdentity(const ChildSetup& setup) {
  return syscall(SYS_setgroups, setup.group_count, setup.groups) == 0 &&
         syscall(SYS_setgid, setup.gid) == 0 && syscall(SYS_setuid, setup.uid) == 0;
}

// The child's side, on its own stack; ends by executing the program or with
// the report's error.
TAVERLY_CHILD_SIDE int RunChild(void* argument) {
  ChildStart* start = static_cast<ChildStart*>(argument);
  const ChildSetup& setup = *start->setup;
  bool ready = true;
  if (setup.group_procs >= 0) {
    ready = JoinGroup(setup.group_procs);
    start->inside = ready;
  } else if (setup.in_group) {
    unshare(CLONE_NEWCGROUP);
    start->inside = true;
  }
  // A person's program leads a session of its own, and so a process group:
  // nothing of this process's terminal or groups is its.
  if (ready && setup.as_user) ready = setsid() >= 0;
  if (ready && setup.own_process_group && !setup.as_user) ready = setpgid(0, 0) == 0;
  if (ready && start->group > 0) ready = setpgid(0, start->group) == 0;
  if (ready) ready = SetUpFiles(setup);
  if (ready) {
    UseDefaultSignals();
    RestoreCallerDescriptorLimit();
    if (!setup.switch_user || TakeIdentity(setup)) {
      execve(setup.path, setup.argv, setup.envp != nullptr ? setup.envp : environ);
    }
  }
  start->error = errno != 0 ? errno : ENOEXEC;
  _exit(127);
}

// The founder of a program's process group: it leads the group only until
// the program has joined it, and is killed then; the group lasts as long as
// a process is in it, and its id cannot pass to another process meanwhile.
// It runs on a small stack of its own in this process's memory, with every
// signal blocked, so nothing of this process's runs there.
TAVERLY_CHILD_SIDE int HoldGroup(void*) {
  for (;;) pause();
}

void EndFounder(pid_t founder) {
  kill(founder, SIGKILL);
  Retry([&] { return waitpid(founder, nullptr, 0); });
}

// Makes a process group for a program to join: its id, the founder's, whom
// EndFounder ends; 0 when none could be made.
pid_t FoundGroup() {
  constexpr size_t kFounderStackBytes = 16 * 1024;
  alignas(64) static char stack[kFounderStackBytes];
  const pid_t founder = clone(HoldGroup, stack + sizeof stack, CLONE_VM | SIGCHLD, nullptr);
  if (founder < 0) return 0;
  // A parent may place its child that has not executed anything.
  if (setpgid(founder, founder) == 0) return founder;
  EndFounder(founder);
  return 0;
}

}  // namespace

int StartChild(const ChildSetup& setup, pid_t* pid, bool* inside, pid_t* group) {
  std::lock_guard<std::mutex> one_at_a_time(ChildStackLock());
  char* stack = ChildStackTop();
  *inside = false;
  if (stack == nullptr) return ENOMEM;
  ChildStart start{&setup, 0, 0, false};
  // No handler of this process may run in the child, which shares its
  // memory: every signal waits until the child has left it.
  sigset_t all, mask;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &mask);
  // Where no group can be founded (no process left to make), the program
  // still starts, in the caller's group, as it always did.
  // A person's program makes its session, and its group, itself.
  if (setup.new_process_group && !setup.as_user) start.group = FoundGroup();
  const int parent = setup.for_parent ? CLONE_PARENT : 0;
  const pid_t child = clone(RunChild, stack, CLONE_VM | CLONE_VFORK | parent | SIGCHLD, &start);
  const int clone_error = errno;
  if (start.group > 0) EndFounder(start.group);
  pthread_sigmask(SIG_SETMASK, &mask, nullptr);
  if (child < 0) return clone_error;
  *inside = start.inside;
  if (start.error == 0) {
    *pid = child;
    if (group != nullptr) *group = setup.own_process_group || setup.as_user ? child : start.group;
    return 0;
  }
  // The child ended without running the program: it is reaped here, or by
  // the parent it was born to.
  if (setup.for_parent) {
    *pid = child;
  } else {
    Retry([&] { return waitpid(child, nullptr, 0); });
  }
  return start.error;
}

}  // namespace posix
}  // namespace platform
