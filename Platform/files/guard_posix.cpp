// The single-instance guard on POSIX: a lock on a file in /run, which only
// root can write.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "Platform/files/files.h"
#include "Platform/posix_support.h"
#include "Rules/instance_guard.h"

namespace platform {
namespace posix {
namespace {

// Answers whether name in dir is there as anything but a regular file.
bool IsThereButNotRegular(int dir, const std::string& name, struct stat* st) {
  return fstatat(dir, name.c_str(), st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st->st_mode);
}

// Removes what is there at name but is not a regular file, with dir locked,
// so that a copy doing the same at once looks again after this one and
// leaves the regular file this one may have made by then. False with errno.
bool RemoveNotRegular(int dir, const std::string& name) {
  // Another holder of the folder's lock only ever holds it this briefly.
  for (int attempt = 1; Retry([&] { return flock(dir, LOCK_EX | LOCK_NB); }) != 0; ++attempt) {
    if (errno != EWOULDBLOCK || attempt == 100) return false;
    usleep(10000);
  }
  struct stat st;
  bool removed = true;
  if (IsThereButNotRegular(dir, name, &st)) {
    removed =
        unlinkat(dir, name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) == 0 || errno == ENOENT;
  }
  const int code = errno;
  flock(dir, LOCK_UN);
  errno = code;
  return removed;
}

}  // namespace

GuardFacts ClaimLockFile(const std::string& folder, const std::string& name) {
  GuardFacts facts;
  const int dir = Retry([&] { return open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  struct stat st;
  if (dir >= 0 && IsThereButNotRegular(dir, name, &st)) {
    facts.made_anew = true;
    if (!RemoveNotRegular(dir, name)) {
      facts.error = static_cast<uint32_t>(errno);
      close(dir);
      return facts;
    }
  }
  // Whatever is put there meanwhile is opened without waiting and without
  // becoming a terminal, and only a regular file is locked. The folder is
  // let go first, so that a process left one descriptor still holds the
  // guard; only root may change what it holds.
  if (dir >= 0) close(dir);
  const std::string path = folder + "/" + name;
  const int fd = dir < 0 ? -1 : Retry([&] {
    return open(
        path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0600);
  });
  facts.error = fd < 0 ? static_cast<uint32_t>(errno) : 0;
  if (fd < 0) return facts;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    facts.error = EINVAL;
    close(fd);
    return facts;
  }
  facts.opened = true;
  if (Retry([&] { return flock(fd, LOCK_EX | LOCK_NB); }) == 0) return facts;
  facts.opened = errno == EWOULDBLOCK;
  facts.error = facts.opened ? 0 : static_cast<uint32_t>(errno);
  facts.taken = true;
  if (st.st_uid == 0) facts.owner = FolderOwner::kSystem;
  close(fd);
  return facts;
}

}  // namespace posix

InstanceClaim ClaimSingleInstance(uint32_t* error) {
  const GuardFacts facts = posix::ClaimLockFile("/run", "VXTaverly_Mutex.lock");
  *error = facts.error;
  return DecideInstanceClaim(facts);
}

}  // namespace platform
