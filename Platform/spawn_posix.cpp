// Starting a program inside a control group without entering the group:
// the child is born there (clone3 with CLONE_INTO_CGROUP) or, where the
// kernel cannot do that, writes itself into the group before it runs
// anything. Either way it roots a control-group namespace of its own at the
// group, sets up its descriptors as posix_spawn's file actions would and
// executes the program, sharing the caller's memory until then, as
// posix_spawn's child does.
#include <dirent.h>
#include <fcntl.h>
#include <linux/sched.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "Platform/child_posix.h"
#include "Platform/posix_support.h"

extern char** environ;

namespace platform {
namespace posix {
namespace {

// What the child tells the caller, through the memory they share until the
// child executes the program or ends.
struct ChildReport {
  int error = 0;
  bool inside = false;
};

struct ChildStart {
  const ChildSetup* setup;
  int join_procs;  // cgroup.procs to join first; -1 when born inside
  volatile ChildReport* report;
};

// Makes fd the child's target descriptor; a descriptor that is the target
// already only loses its close-on-exec mark, as with posix_spawn.
bool CopyTo(int fd, int target) {
  if (fd == target) return fcntl(fd, F_SETFD, 0) == 0;
  return Retry([&] { return dup2(fd, target); }) == target;
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

// Closes every descriptor from first on: at once where the kernel can, else
// each one /proc/self/fd lists, as posix_spawn does. False, with errno, when
// they cannot be known.
bool CloseFrom(int first) {
  if (close_range(static_cast<unsigned>(first), ~0u, 0) == 0) return true;
  const int folder =
      Retry([] { return open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (folder < 0) return false;
  alignas(DirectoryEntry) char buffer[1024];
  bool closed_some = true;
  while (closed_some) {
    // Closing changes the listing: start again until a pass closes nothing.
    closed_some = false;
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
        closed_some = true;
      }
    }
    if (got < 0) {
      const int error = errno;
      close(folder);
      errno = error;
      return false;
    }
  }
  close(folder);
  return true;
}

// False, with errno, when a descriptor of the program could not be set up:
// it must not run with output or a file that is not the one meant.
bool SetUpFiles(const ChildSetup& setup) {
  if (setup.output_fd >= 0 &&
      !(CopyTo(setup.output_fd, STDOUT_FILENO) && CopyTo(setup.output_fd, STDERR_FILENO))) {
    return false;
  }
  if (setup.program_fd >= 0 && !CopyTo(setup.program_fd, kOpenedProgramFd)) return false;
  return CloseFrom(setup.program_fd >= 0 ? kOpenedProgramFd + 1 : STDERR_FILENO + 1);
}

// Gives every signal its default action and blocks none: a handler of the
// caller's must not run here, and what the caller's own starter left ignored
// or blocked (both survive exec) is no part of what the program asked for.
void UseDefaultSignals() {
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

[[noreturn]] void Fail(const ChildStart& start) {
  start.report->error = errno;
  _exit(127);
}

// The child's side. Until it executes the program it shares the caller's
// memory and stack: it calls nothing but the system, writes only the
// report, and runs in a frame of its own below the caller's. Never returns.
__attribute__((noinline)) void RunChild(const ChildStart& start) {
  // "0" is the writer itself.
  if (start.join_procs >= 0 && Retry([&] { return write(start.join_procs, "0", 1); }) != 1) {
    Fail(start);
  }
  start.report->inside = true;
  // Rooted at the group: where the hierarchy is mounted with nsdelegate, no
  // process in the namespace can move out of the group, and everywhere the
  // namespace marks what the program started, wherever it moved. Without
  // the rights for it the program runs in the caller's namespace.
  unshare(CLONE_NEWCGROUP);
  if (!SetUpFiles(*start.setup)) Fail(start);
  UseDefaultSignals();
  execve(start.setup->path, start.setup->argv, environ);
  Fail(start);
}

// Both ways return the child's id, or minus the error of the clone.
__attribute__((noinline)) long VforkJoining(const ChildStart* start) {
  const pid_t child = vfork();
  if (child == 0) {
    RunChild(*start);
    _exit(127);
  }
  return child < 0 ? -errno : child;
}

#if defined(__x86_64__)
// clone3 as vfork does it, on the caller's stack, so the system call is made
// here rather than through the C library's wrapper, whose return the child
// would take first.
__attribute__((noinline)) long CloneIntoGroup(int group_folder, const ChildStart* start) {
  struct clone_args args = {};
  args.flags = CLONE_VM | CLONE_VFORK | CLONE_INTO_CGROUP;
  args.exit_signal = SIGCHLD;
  args.cgroup = static_cast<uint64_t>(group_folder);
  long result = SYS_clone3;
  asm volatile("syscall" : "+a"(result) : "D"(&args), "S"(sizeof args) : "rcx", "r11", "memory");
  if (result == 0) {
    RunChild(*start);
    _exit(127);
  }
  return result;
}
#else
long CloneIntoGroup(int, const ChildStart*) { return -ENOSYS; }
#endif

// Starts a child through clone_child with every signal blocked meanwhile.
template <typename Clone>
int StartChild(int join_procs, const ChildSetup& setup, pid_t* pid, bool* inside,
               Clone clone_child) {
  // Volatile: the compiler cannot see the child's writes.
  volatile ChildReport report;
  sigset_t all, mask;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &mask);
  const ChildStart start{&setup, join_procs, &report};
  const long child = clone_child(&start);
  pthread_sigmask(SIG_SETMASK, &mask, nullptr);
  *inside = child > 0 && report.inside;
  if (child < 0) return static_cast<int>(-child);
  if (report.error == 0) {
    *pid = static_cast<pid_t>(child);
    return 0;
  }
  // The child ended without running the program: it is reaped here.
  Retry([&] { return waitpid(static_cast<pid_t>(child), nullptr, 0); });
  return report.error;
}

}  // namespace

int StartBornInGroup(int group_folder, const ChildSetup& setup, pid_t* pid, bool* inside) {
  return StartChild(-1, setup, pid, inside, [&](const ChildStart* start) {
    return CloneIntoGroup(group_folder, start);
  });
}

int StartJoining(int group_procs, const ChildSetup& setup, pid_t* pid, bool* inside) {
  return StartChild(group_procs, setup, pid, inside, VforkJoining);
}

}  // namespace posix
}  // namespace platform
