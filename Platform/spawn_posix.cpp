// Starting a program inside a control group without entering the group:
// the child is born there (clone3 with CLONE_INTO_CGROUP) or, where the
// kernel cannot do that, writes itself into the group before it runs
// anything. Either way it sets up its descriptors as posix_spawn's file
// actions would and executes the program, sharing the caller's memory until
// then, as posix_spawn's child does.
#include <fcntl.h>
#include <linux/sched.h>
#include <signal.h>
#include <sys/resource.h>
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
  const sigset_t* mask;  // the caller's, for the program
  int join_procs;        // cgroup.procs to join first; -1 when born inside
  volatile ChildReport* report;
};

// Highest descriptor tried where the kernel cannot close a range at once.
constexpr int kMostDescriptors = 65536;

// Makes fd the child's target descriptor; a descriptor that is the target
// already only loses its close-on-exec mark, as with posix_spawn.
bool CopyTo(int fd, int target) {
  if (fd == target) return fcntl(fd, F_SETFD, 0) == 0;
  return Retry([&] { return dup2(fd, target); }) == target;
}

void CloseFrom(int first) {
  if (close_range(static_cast<unsigned>(first), ~0u, 0) == 0) return;
  struct rlimit limit;
  int last = kMostDescriptors;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < static_cast<rlim_t>(last)) {
    last = static_cast<int>(limit.rlim_cur);
  }
  for (int fd = first; fd < last; ++fd) close(fd);
}

void SetUpFiles(const ChildSetup& setup) {
  const bool copied = (setup.output_fd < 0 || (CopyTo(setup.output_fd, STDOUT_FILENO) &&
                                               CopyTo(setup.output_fd, STDERR_FILENO))) &&
                      (setup.program_fd < 0 || CopyTo(setup.program_fd, kOpenedProgramFd));
  if (copied) CloseFrom(setup.program_fd >= 0 ? kOpenedProgramFd + 1 : STDERR_FILENO + 1);
}

// The child's side. Until it executes the program it shares the caller's
// memory and stack: it calls nothing but the system, writes only the
// report, and runs in a frame of its own below the caller's. Never returns.
__attribute__((noinline)) void RunChild(const ChildStart& start) {
  // A handler of the caller's must not run here; the caller's signal mask
  // is the program's, as with any start.
  for (int signal = 1; signal < NSIG; ++signal) {
    struct sigaction action;
    if (sigaction(signal, nullptr, &action) != 0) continue;
    if (action.sa_handler == SIG_IGN || action.sa_handler == SIG_DFL) continue;
    action.sa_handler = SIG_DFL;
    action.sa_flags = 0;
    sigaction(signal, &action, nullptr);
  }
  sigprocmask(SIG_SETMASK, start.mask, nullptr);
  // "0" is the writer itself.
  if (start.join_procs >= 0 && Retry([&] { return write(start.join_procs, "0", 1); }) != 1) {
    start.report->error = errno;
    _exit(127);
  }
  start.report->inside = true;
  SetUpFiles(*start.setup);
  execve(start.setup->path, start.setup->argv, environ);
  start.report->error = errno;
  _exit(127);
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
  const ChildStart start{&setup, &mask, join_procs, &report};
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
