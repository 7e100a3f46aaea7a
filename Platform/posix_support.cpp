// The helpers the POSIX files of the platform layer share.
#include "Platform/posix_support.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <string>

#include "Rules/folder_trust.h"

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

// Opens a file for reading without blocking, so that a FIFO planted in its
// place cannot hang the caller; anything but a regular file counts as
// unreadable, as folders cannot be opened on Windows either. -1 on failure.
int OpenRegularFile(const std::wstring& path, struct stat* facts) {
  int fd = Retry([&] { return open(Utf8(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); });
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return -1;
  }
  if (facts != nullptr) *facts = st;
  return fd;
}

FileIdentity IdentityOf(const struct stat& facts) {
  FileIdentity identity;
  identity.device = static_cast<uint64_t>(facts.st_dev);
  identity.number = static_cast<uint64_t>(facts.st_ino);
  identity.size = static_cast<uint64_t>(facts.st_size);
  identity.written =
      static_cast<int64_t>(facts.st_mtim.tv_sec) * 1000000000 + facts.st_mtim.tv_nsec;
  identity.regular = S_ISREG(facts.st_mode);
  return identity;
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

bool ReadStat(pid_t pid, pid_t* parent, uint64_t* start, long* threads) {
  const int fd = Retry([&] {
    return open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
  });
  if (fd < 0) return false;
  char text[1024];
  const ssize_t n = Retry([&] { return read(fd, text, sizeof text - 1); });
  close(fd);
  if (n <= 0) return false;
  const std::string line(text, static_cast<size_t>(n));
  // The name in parentheses may hold anything, parentheses too.
  const size_t name_end = line.rfind(')');
  if (name_end == std::string::npos) return false;
  std::istringstream fields(line.substr(name_end + 1));
  std::string state, field;
  long parent_id = 0;
  if (!(fields >> state >> parent_id)) return false;
  // Fields 5 to 21; the 20th is the number of threads.
  for (int number = 5; number <= 21 && fields >> field; ++number) {
    if (number == 20 && threads != nullptr) *threads = std::atol(field.c_str());
  }
  unsigned long long started = 0;
  if (!(fields >> started) || state == "Z" || state == "X") return false;
  *parent = static_cast<pid_t>(parent_id);
  *start = started;
  return true;
}

}  // namespace posix

}  // namespace platform
