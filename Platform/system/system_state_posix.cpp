// The system state an item's conditions read, on POSIX.
#include "Platform/system/system_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "Platform/posix_support.h"

namespace platform {

const wchar_t kInstallerBusySignal[] = L"/var/lib/dpkg/lock-frontend";

namespace {

constexpr char kRestartRequiredFile[] = "/run/reboot-required";

}  // namespace

Answer PathIsThere(const std::wstring& path, uint32_t* error) {
  *error = 0;
  struct stat st;
  if (!path.empty() && stat(posix::Utf8(path).c_str(), &st) == 0) return Answer::kYes;
  const int code = path.empty() ? ENOENT : errno;
  // A part of the path that is a file (ENOTDIR) means nothing is there too.
  if (code == ENOENT || code == ENOTDIR) return Answer::kNo;
  *error = static_cast<uint32_t>(code);
  return Answer::kUnknown;
}

bool IsAbsolutePath(const std::wstring& path) { return !path.empty() && path[0] == L'/'; }

namespace {

// Whether pid is this process's parent or one further up: a front end
// that holds the lock while it runs the package's scripts started this run.
bool IsAncestor(pid_t pid) {
  pid_t at = getppid();
  for (int depth = 0; depth < 256 && at > 1; ++depth) {
    if (at == pid) return true;
    uint64_t start = 0;
    if (!posix::ReadStat(at, &at, &start)) return false;
  }
  return false;
}

}  // namespace

namespace posix {

bool LockedByOthers(const std::string& file) {
  const int fd =
      Retry([&] { return open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY); });
  if (fd < 0) return false;
  struct stat st;
  // Only a regular file holds such a lock; a FIFO or device put there says
  // nothing.
  bool busy = false;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    struct flock probe = {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    // Asks who would stand in the way of a lock on the whole file; the lock
    // is never taken.
    busy = fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK &&
           !(probe.l_pid > 0 && IsAncestor(probe.l_pid));
  }
  close(fd);
  return busy;
}

}  // namespace posix

bool InstallerBusy() { return posix::LockedByOthers(posix::Utf8(kInstallerBusySignal)); }

Answer RestartPending(std::wstring* signal, uint32_t* error) {
  const std::wstring file = NarrowToWide(kRestartRequiredFile, sizeof kRestartRequiredFile - 1);
  const Answer there = PathIsThere(file, error);
  if (there == Answer::kYes) *signal = file;
  return there;
}

Answer RegistryHolds(const std::wstring&, uint32_t* error) {
  *error = ENOSYS;
  return Answer::kUnknown;
}

bool HasRegistry() { return false; }

}  // namespace platform
