// The POSIX reading of a file only the running account could have written.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "Platform/platform.h"
#include "Platform/posix_support.h"

namespace platform {

OwnFileRead ReadOwnFile(const std::wstring& path, std::string* content) {
  content->clear();
  const std::string name = posix::Utf8(path);
  struct stat st;
  if (lstat(name.c_str(), &st) != 0) {
    return errno == ENOENT ? OwnFileRead::kMissing : OwnFileRead::kUnreadable;
  }
  if (S_ISLNK(st.st_mode)) return OwnFileRead::kLink;
  if (!S_ISREG(st.st_mode)) return OwnFileRead::kNotRegular;
  const int fd = posix::Retry(
      [&] { return open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK); });
  if (fd < 0) return errno == ELOOP ? OwnFileRead::kLink : OwnFileRead::kUnreadable;
  // What was opened decides, not what lstat saw: it may have been swapped.
  OwnFileRead outcome = OwnFileRead::kRead;
  if (fstat(fd, &st) != 0) {
    outcome = OwnFileRead::kUnreadable;
  } else if (!S_ISREG(st.st_mode)) {
    outcome = OwnFileRead::kNotRegular;
  } else if (st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    outcome = OwnFileRead::kForeign;
  }
  char buffer[8192];
  ssize_t n = 0;
  while (outcome == OwnFileRead::kRead &&
         (n = posix::Retry([&] { return read(fd, buffer, sizeof buffer); })) > 0) {
    content->append(buffer, static_cast<size_t>(n));
  }
  if (n < 0) outcome = OwnFileRead::kUnreadable;
  close(fd);
  if (outcome != OwnFileRead::kRead) content->clear();
  return outcome;
}

}  // namespace platform
