// Descriptors on POSIX: the limit on open files raised for the run, and a
// few kept aside from the start for the writes that must not fail.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "Platform/process/process_posix.h"
#include "Platform/system/system.h"

namespace platform {
namespace {

// What a write at the end needs at once: a folder and a file in it, one spare.
constexpr int kReserved = 3;
// Less, and the run cannot say its outcome at all.
constexpr int kReserveNeeded = 2;
// Enough for what a run holds open at once (the lock, the log, a folder, a
// file, a program's output pipe); a caller's hard limit under it is raised.
constexpr rlim_t kWorkingMinimum = 64;
// A soft limit under it is raised toward the hard one; one above it is left.
constexpr rlim_t kUsualSoftLimit = 1024;

struct rlimit caller_limit = {};
bool limit_changed = false;
int reserve[kReserved] = {-1, -1, -1};
int freed_depth = 0;

}  // namespace

void RaiseDescriptorLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  caller_limit = limit;
  // Only root may raise a hard limit; anyone else goes on with the soft one.
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < kWorkingMinimum) {
    const struct rlimit raised = {kWorkingMinimum, kWorkingMinimum};
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  if (limit.rlim_cur < kUsualSoftLimit && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max < kUsualSoftLimit ? limit.rlim_max : kUsualSoftLimit;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  struct rlimit now;
  limit_changed = getrlimit(RLIMIT_NOFILE, &now) == 0 &&
                  (now.rlim_cur != caller_limit.rlim_cur || now.rlim_max != caller_limit.rlim_max);
}

bool KeepDescriptorsInReserve() {
  int kept = 0;
  for (int& fd : reserve) {
    if (fd < 0) fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) ++kept;
  }
  return kept >= kReserveNeeded;
}

bool DescriptorToSpare() {
  const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  close(fd);
  return true;
}

DescriptorsFreed::DescriptorsFreed() {
  if (freed_depth++ > 0) return;
  for (int& fd : reserve) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

DescriptorsFreed::~DescriptorsFreed() {
  if (--freed_depth == 0) KeepDescriptorsInReserve();
}

namespace posix {

// A system call alone: it runs in a child that shares this process's memory.
__attribute__((no_sanitize("address", "undefined"))) void RestoreCallerDescriptorLimit() {
  if (limit_changed) setrlimit(RLIMIT_NOFILE, &caller_limit);
}

}  // namespace posix
}  // namespace platform
