// The POSIX side of starting programs and loading libraries.
#include "Platform/process.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "Platform/child_posix.h"
#include "Platform/command_line_split.h"
#include "Platform/posix_support.h"

namespace platform {
namespace {

using posix::ChildWatch;
using posix::ControlGroup;
using posix::OutputPipe;
using posix::Retry;
using posix::Utf8;

// The exit code of a program not waited for: kStillActive while it runs.
uint32_t ExitCodeIfEnded(pid_t pid) {
  int status = 0;
  if (Retry([&] { return waitpid(pid, &status, WNOHANG); }) != pid) return kStillActive;
  if (WIFEXITED(status)) return static_cast<uint32_t>(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return 128u + static_cast<uint32_t>(WTERMSIG(status));
  return kStillActive;
}

// The path under which an opened program is executed.
constexpr char kOpenedProgramPath[] = "/proc/self/fd/3";

std::function<void()>& BeforeOpenedUse() {
  static std::function<void()> hook;
  return hook;
}

void RunBeforeOpenedUse() {
  if (BeforeOpenedUse()) BeforeOpenedUse()();
}

// A program with a time limit: started in a control group of its own where
// one can be made (nothing it starts gets out), else as the leader of a
// process group of its own. Without a limit the start is the plain one.
class Containment {
 public:
  explicit Containment(bool limited) : limited_(limited) {
    if (limited_) group_.reset(new ControlGroup());
    if (limited_ && !group_->usable()) group_.reset();
  }

  // Starts the program: inside the group where there is one and the child
  // could join it, else (with a limit) as the leader of a process group.
  int Start(const posix::ChildSetup& setup, pid_t* pid) {
    int error = 0;
    if (group_ != nullptr && group_->StartInside(setup, pid, &error)) return error;
    group_.reset();
    posix::ChildSetup placed = setup;
    placed.own_process_group = own_process_group_ = limited_;
    bool inside = false;
    return posix::StartChild(placed, pid, &inside);
  }

  // Asks everything contained to end; after the grace (or once the program
  // has ended) ends it by force, the program itself last, by its own handle.
  // Never waits without limit. The group is signalled while the program is
  // unreaped, so its id is still the program's own.
  void End(pid_t pid, ChildWatch* watch, ProgramResult* result) {
    result->timed_out = true;
    if (group_ != nullptr) {
      EndGroup(pid, watch, result);
      return;
    }
    // A program that left its process group is asked by its own handle.
    const bool reached = own_process_group_ && getpgid(pid) == pid;
    Signal(pid, SIGTERM);
    if (!reached) watch->Signal(SIGTERM);
    watch->WaitForEnd(static_cast<int>(kEndGraceMilliseconds));
    Signal(pid, SIGKILL);
    watch->Signal(SIGKILL);
    result->ended_all = watch->WaitForEnd(static_cast<int>(kEndGraceMilliseconds)) && reached;
  }

 private:
  void Signal(pid_t pid, int signal) {
    if (own_process_group_) kill(-pid, signal);
  }

  // The group, and what left it: looked for before anything is signalled,
  // while every process the program started still descends from it.
  void EndGroup(pid_t pid, ChildWatch* watch, ProgramResult* result) {
    const int grace = static_cast<int>(kEndGraceMilliseconds);
    posix::Escapees outside(pid);
    outside.Find(group_->Members());
    group_->SignalAll(SIGTERM);
    outside.Signal(SIGTERM);
    watch->WaitForEnd(grace);
    bool all = group_->KillAll(grace);
    all = outside.EndAll(group_->Members(), grace) && all;
    watch->Signal(SIGKILL);
    result->ended_all = watch->WaitForEnd(grace) && all;
    result->ended_outside = outside.count();
    result->may_have_escaped = !outside.complete();
  }

  bool limited_;
  bool own_process_group_ = false;
  std::unique_ptr<ControlGroup> group_;
};

// Whether the kernel runs the file's format: an ELF image or a script with
// an interpreter line. The start gives ENOEXEC for anything else.
bool HasRunnableFormat(const std::string& program) {
  int fd = Retry([&] { return open(program.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); });
  if (fd < 0) return true;  // not readable: only the kernel can tell
  unsigned char head[4] = {};
  ssize_t n = Retry([&] { return read(fd, head, sizeof head); });
  close(fd);
  if (n >= 2 && head[0] == '#' && head[1] == '!') return true;
  return n == 4 && std::memcmp(head,
                               "\x7f"
                               "ELF",
                               4) == 0;
}

// The descriptor of an opened program for ChildSetup: its own, or a copy
// when it is kOpenedProgramFd already (a copy onto itself would keep
// close-on-exec); -1 without one.
class OpenedProgram {
 public:
  explicit OpenedProgram(const ReadOnlyFile* file) {
    if (file == nullptr || file->native() == nullptr) return;
    fd_ = static_cast<int>(reinterpret_cast<intptr_t>(file->native()));
    if (fd_ == posix::kOpenedProgramFd) {
      fd_ = copy_ = fcntl(fd_, F_DUPFD_CLOEXEC, posix::kOpenedProgramFd + 1);
    }
  }
  ~OpenedProgram() {
    if (copy_ >= 0) close(copy_);
  }
  OpenedProgram(const OpenedProgram&) = delete;
  OpenedProgram& operator=(const OpenedProgram&) = delete;

  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  int copy_ = -1;
};

}  // namespace

void SetBeforeOpenedUseForTesting(std::function<void()> hook) {
  BeforeOpenedUse() = std::move(hook);
}

ProgramResult StartProgram(const ProgramRequest& request) {
  ProgramResult result;
  if (request.opened != nullptr && request.opened->native() == nullptr) {
    result.start_error = EBADF;
    return result;
  }
  std::string program = Utf8(request.file);
  std::vector<std::string> arguments{program};
  for (const std::wstring& argument : SplitCommandLineArguments(request.parameters)) {
    arguments.push_back(Utf8(argument));
  }
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(&argument[0]);
  argv.push_back(nullptr);

  const bool limited = request.wait && request.timeout_ms > 0;
  // Without a pipe the program still runs, uncaptured.
  std::unique_ptr<OutputPipe> output(request.wait && request.capture_output ? new OutputPipe()
                                                                            : nullptr);
  OpenedProgram opened(request.opened);
  posix::ChildSetup setup;
  // The opened program is executed by its descriptor, not by its name.
  setup.path = request.opened != nullptr ? kOpenedProgramPath : program.c_str();
  setup.argv = argv.data();
  setup.output_fd = output != nullptr && output->valid() ? output->write_fd() : -1;
  setup.program_fd = opened.fd();
  Containment containment(limited);
  if (request.opened != nullptr) RunBeforeOpenedUse();
  pid_t pid = 0;
  int rc = containment.Start(setup, &pid);
  if (rc != 0) {
    result.start_error = static_cast<uint32_t>(rc);
    return result;
  }
  result.started = true;
  result.has_process = true;
  if (!request.wait) {
    result.exit_code = ExitCodeIfEnded(pid);
    return result;
  }
  OutputKeeper keeper;
  ChildWatch watch(pid, output.get(), &keeper, &request.while_waiting);
  if (!watch.WaitForEnd(limited ? static_cast<int>(request.timeout_ms) : -1)) {
    containment.End(pid, &watch, &result);
  }
  result.exit_code =
      result.timed_out && !watch.WaitForEnd(0) ? kStillActive : watch.Reap(&result.signal);
  if (output != nullptr && output->valid()) {
    result.output = keeper.Kept();
    result.output_captured = true;
  }
  return result;
}

bool CanCaptureOutput(const std::wstring&) { return true; }

bool CanStartProgram(const std::wstring& file, uint32_t* error) {
  std::string program = Utf8(file);
  struct stat st;
  int code = 0;
  if (program.empty()) {
    code = ENOENT;
  } else if (stat(program.c_str(), &st) != 0) {
    code = errno;
  } else if (!S_ISREG(st.st_mode) || access(program.c_str(), X_OK) != 0) {
    code = EACCES;  // what the kernel answers for a folder or a file without execute rights
  } else if (!HasRunnableFormat(program)) {
    code = ENOEXEC;
  }
  if (error != nullptr) *error = static_cast<uint32_t>(code);
  return code == 0;
}

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

bool CanStartOpenedProgram(const std::wstring& file, uint32_t* error) {
  return CanStartProgram(file, error);
}

void* LoadOpenedLibrary(const ReadOnlyFile& file, const std::wstring&, DependencySearch,
                        uint32_t* error) {
  if (file.native() == nullptr) {
    *error = EBADF;
    return nullptr;
  }
  RunBeforeOpenedUse();
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
