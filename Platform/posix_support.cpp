// The helpers the POSIX files of the platform layer share.
#include "Platform/posix_support.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "Platform/folder_trust.h"

namespace platform {

namespace posix {

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = Retry([&] { return write(fd, data.data() + done, data.size() - done); });
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool ReadAllAt(int fd, uint64_t offset, void* buffer, size_t count) {
  char* out = static_cast<char*>(buffer);
  while (count > 0) {
    ssize_t n = Retry([&] { return pread(fd, out, count, static_cast<off_t>(offset)); });
    if (n <= 0) return false;
    out += n;
    offset += static_cast<uint64_t>(n);
    count -= static_cast<size_t>(n);
  }
  return true;
}

int OpenTrustedFolder(const std::string& folder) {
  int fd =
      Retry([&] { return open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); });
  if (fd < 0) return -1;
  // O_NOFOLLOW has refused a link in the folder's place already.
  struct stat st;
  FolderFacts facts;
  if (fstat(fd, &st) == 0) {
    facts.is_folder = S_ISDIR(st.st_mode);
    facts.owner = st.st_uid == geteuid() ? FolderOwner::kRunningAccount : FolderOwner::kOther;
    facts.writable_by_others = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  }
  if (!MayWriteThroughFolder(facts)) {
    close(fd);
    errno = EACCES;
    return -1;
  }
  return fd;
}

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
  // becoming a terminal, and only a regular file is locked.
  const int fd = dir < 0 ? -1 : Retry([&] {
    return openat(
        dir, name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0600);
  });
  facts.error = fd < 0 ? static_cast<uint32_t>(errno) : 0;
  if (dir >= 0) close(dir);
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

void SplitFolderAndName(const std::string& path, std::string* folder, std::string* name) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    *folder = ".";
    *name = path;
  } else {
    *folder = slash == 0 ? "/" : path.substr(0, slash);
    *name = path.substr(slash + 1);
  }
}

bool FollowFirstLink(const std::string& path, std::string* next) {
  for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    const std::string way = path.substr(0, end);
    struct stat st;
    if (!way.empty() && way.back() != '/') {
      if (lstat(way.c_str(), &st) != 0) return false;
      if (S_ISLNK(st.st_mode)) {
        std::string target(PATH_MAX, '\0');
        const ssize_t length = readlink(way.c_str(), &target[0], target.size());
        if (length <= 0 || static_cast<size_t>(length) >= target.size()) return false;
        target.resize(static_cast<size_t>(length));
        const std::string rest = end == std::string::npos ? std::string() : path.substr(end);
        // A relative link is read in the folder that holds it.
        const size_t slash = way.rfind('/');
        const std::string base = target[0] == '/' || slash == std::string::npos
                                     ? std::string()
                                     : way.substr(0, slash + 1);
        *next = base + target + rest;
        return true;
      }
    }
    if (end == std::string::npos) return false;
  }
}

}  // namespace posix

}  // namespace platform
