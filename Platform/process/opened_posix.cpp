// A file opened and judged on POSIX, which a start or a load then uses
// through its descriptor rather than its name.
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "Platform/files/files.h"
#include "Platform/posix_support.h"
#include "Platform/process/process.h"
#include "Platform/process/process_posix.h"

namespace platform {
namespace {

std::function<void()>& BeforeOpenedUse() {
  static std::function<void()> hook;
  return hook;
}

}  // namespace

void posix::RunBeforeOpenedUse() {
  if (BeforeOpenedUse()) BeforeOpenedUse()();
}

void SetBeforeOpenedUseForTesting(std::function<void()> hook) {
  BeforeOpenedUse() = std::move(hook);
}

ReadOnlyFile::ReadOnlyFile() : handle_(reinterpret_cast<void*>(static_cast<intptr_t>(-1))) {}

ReadOnlyFile::~ReadOnlyFile() {
  int fd = static_cast<int>(reinterpret_cast<intptr_t>(handle_));
  if (fd >= 0) close(fd);
}

bool ReadOnlyFile::Open(const std::wstring& path) {
  int fd = posix::OpenRegularFile(path);
  if (fd < 0) return false;
  handle_ = reinterpret_cast<void*>(static_cast<intptr_t>(fd));
  return true;
}

bool ReadOnlyFile::IsOpen() const { return reinterpret_cast<intptr_t>(handle_) >= 0; }

bool ReadOnlyFile::Size(uint64_t* size) const {
  int fd = static_cast<int>(reinterpret_cast<intptr_t>(handle_));
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool ReadOnlyFile::ReadAt(uint64_t offset, void* buffer, size_t count) const {
  int fd = static_cast<int>(reinterpret_cast<intptr_t>(handle_));
  return fd >= 0 && posix::ReadAllAt(fd, offset, buffer, count);
}

}  // namespace platform
