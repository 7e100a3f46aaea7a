// The POSIX reading of a file only the running account could have written,
// of the machine's secret, and of a folder's one name.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "Platform/files/files.h"
#include "Platform/posix_support.h"

namespace platform {
namespace {

// Judges what was opened, not what lstat saw: it may have been swapped.
OwnFileRead Judge(int fd, bool secret, uint64_t limit) {
  struct stat st;
  if (fstat(fd, &st) != 0) return OwnFileRead::kUnreadable;
  if (!S_ISREG(st.st_mode)) return OwnFileRead::kNotRegular;
  if (limit != UINT64_MAX && st.st_nlink > 1) return OwnFileRead::kLink;
  if (static_cast<uint64_t>(st.st_size) > limit) return OwnFileRead::kTooLarge;
  const mode_t others = secret ? S_IRGRP | S_IROTH | S_IWGRP | S_IWOTH : S_IWGRP | S_IWOTH;
  if (st.st_uid != geteuid() || (st.st_mode & others) != 0) return OwnFileRead::kForeign;
  return OwnFileRead::kRead;
}

}  // namespace

OwnFileRead ReadOwnFile(const std::wstring& path, std::string* content, bool secret,
                        uint64_t limit) {
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
  OwnFileRead outcome = Judge(fd, secret, limit);
  char buffer[8192];
  ssize_t n = 0;
  while (outcome == OwnFileRead::kRead &&
         (n = posix::Retry([&] { return read(fd, buffer, sizeof buffer); })) > 0) {
    content->append(buffer, static_cast<size_t>(n));
    if (content->size() > limit) outcome = OwnFileRead::kTooLarge;  // it grew
  }
  if (n < 0) outcome = OwnFileRead::kUnreadable;
  close(fd);
  if (outcome != OwnFileRead::kRead) content->clear();
  return outcome;
}

bool FolderIdentity(const std::wstring& folder, std::string* identity, uint32_t* error) {
  char* real = realpath(posix::Utf8(folder).c_str(), nullptr);
  if (real == nullptr) {
    *error = static_cast<uint32_t>(errno);
    return false;
  }
  *identity = real;
  free(real);
  return true;
}

// /run is emptied at every start and the record is read after a restart;
// /var/lib is root's alone and stays.
std::wstring MachineSecretPath() { return L"/var/lib/taverly/machine.key"; }

bool SecretFolderClosed(const std::wstring& path) {
  std::string folder, name;
  posix::SplitFolderAndName(posix::Utf8(path), &folder, &name);
  struct stat st;
  if (lstat(folder.c_str(), &st) != 0) return errno == ENOENT;
  return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace platform
