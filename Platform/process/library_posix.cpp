// Loading libraries on POSIX: by path, or through a descriptor the caller
// opened and judged.
#include "Platform/process/process.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "Platform/posix_support.h"
#include "Platform/process/process_posix.h"

namespace platform {

using posix::Retry;
using posix::Utf8;

// The loader searches no folder of the program's own.
void UseSystemLibrarySearch() {}

void* LoadLibraryFile(const std::wstring& path, uint32_t* error) {
  std::string name = Utf8(path);
  // Only a regular file goes to the loader, which would wait without end for
  // a writer to a FIFO; a device or socket is no library either.
  int fd = Retry([&] { return open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); });
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int code = fd < 0 ? (errno == EACCES ? EACCES : ENOENT) : ENOEXEC;
    if (fd >= 0) close(fd);
    *error = static_cast<uint32_t>(code);
    return nullptr;
  }
  close(fd);
  void* library = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library != nullptr) return library;
  // dlopen sets no errno; tell the causes apart the way the loader saw them.
  if (stat(name.c_str(), &st) != 0) {
    *error = ENOENT;
  } else if (access(name.c_str(), R_OK) != 0) {
    *error = EACCES;
  } else {
    *error = ENOEXEC;
  }
  return nullptr;
}

namespace {

// The descriptors whose /proc/self/fd names the loader has been given. The
// loader hands back what it loaded under a name it knows, so a name is
// never given twice: a library's descriptor stays open for the rest of the
// process (as the library stays loaded), and a number on this list is not
// used again even if code in a library closed it.
std::set<int>& NamedDescriptors() {
  static std::set<int> named;
  return named;
}

// A copy of fd under a number the loader knows no name for; -1 on failure.
int FreshDescriptor(int fd) {
  std::vector<int> passed_over;
  int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  while (copy >= 0 && NamedDescriptors().count(copy) != 0) {
    passed_over.push_back(copy);  // held, so the next copy gets another number
    copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  }
  for (int held : passed_over) close(held);
  return copy;
}

}  // namespace

void* LoadOpenedLibrary(const ReadOnlyFile& file, const std::wstring&, DependencySearch,
                        uint32_t* error) {
  if (file.native() == nullptr) {
    *error = EBADF;
    return nullptr;
  }
  posix::RunBeforeOpenedUse();
  const int fd = FreshDescriptor(static_cast<int>(reinterpret_cast<intptr_t>(file.native())));
  if (fd < 0) {
    *error = static_cast<uint32_t>(errno);
    return nullptr;
  }
  const std::string name = "/proc/self/fd/" + std::to_string(fd);
  void* library = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    close(fd);  // a failed load leaves the loader no name
    *error = ENOEXEC;
    return nullptr;
  }
  NamedDescriptors().insert(fd);
  return library;
}

void* FindExport(void* library, const char* name) {
  if (library == nullptr || name == nullptr || *name == '\0') return nullptr;
  return dlsym(library, name);
}

}  // namespace platform
