// The POSIX side of starting programs and loading libraries.
#include "Platform/process.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "Platform/command_line_split.h"
#include "Platform/posix_support.h"

extern char** environ;

namespace platform {
namespace {

using posix::Retry;
using posix::Utf8;

uint32_t ExitCodeFromStatus(int status) {
  if (WIFEXITED(status)) return static_cast<uint32_t>(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return 128u + static_cast<uint32_t>(WTERMSIG(status));
  return kStillActive;
}

// The file actions of a start: the child keeps only the standard
// descriptors, so nothing of ours (the instance lock, the log) leaks into it;
// with an output file, that file becomes its standard output and error.
class FileActions {
 public:
  explicit FileActions(int output_fd) : error_(posix_spawn_file_actions_init(&actions_)) {
    if (error_ == 0 && output_fd >= 0) {
      error_ = posix_spawn_file_actions_adddup2(&actions_, output_fd, STDOUT_FILENO);
      if (error_ == 0)
        error_ = posix_spawn_file_actions_adddup2(&actions_, output_fd, STDERR_FILENO);
    }
    if (error_ == 0) error_ = posix_spawn_file_actions_addclosefrom_np(&actions_, 3);
  }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;

  int error() const { return error_; }
  const posix_spawn_file_actions_t* get() const { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
  int error_;
};

// Spawn attributes: a process group of its own for a program with a time
// limit, so that what it starts can be ended with it. Without one the start
// uses no attributes at all, as it always has.
class SpawnAttributes {
 public:
  explicit SpawnAttributes(bool own_group) : used_(own_group) {
    if (!used_) return;
    error_ = posix_spawnattr_init(&attributes_);
    initialised_ = error_ == 0;
    if (error_ == 0) error_ = posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETPGROUP);
    if (error_ == 0) error_ = posix_spawnattr_setpgroup(&attributes_, 0);
  }
  ~SpawnAttributes() {
    if (initialised_) posix_spawnattr_destroy(&attributes_);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;

  int error() const { return error_; }
  const posix_spawnattr_t* get() const { return used_ ? &attributes_ : nullptr; }

 private:
  posix_spawnattr_t attributes_;
  bool used_;
  bool initialised_ = false;
  int error_ = 0;
};

// An anonymous file for a program's output; closed with the object.
class OutputFile {
 public:
  explicit OutputFile(bool wanted)
      : fd_(wanted ? memfd_create("taverly-exe-output", MFD_CLOEXEC) : -1) {}
  ~OutputFile() {
    if (fd_ >= 0) close(fd_);
  }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  int fd() const { return fd_; }

  bool Read(CapturedOutput* output) const {
    struct stat st;
    if (fd_ < 0 || fstat(fd_, &st) != 0) return false;
    return ReadCapturedOutput(
        static_cast<uint64_t>(st.st_size),
        [this](uint64_t offset, void* buffer, size_t count) {
          return posix::ReadAllAt(fd_, offset, buffer, count);
        },
        output);
  }

 private:
  int fd_;
};

// Waits for a child to end, without reaping it, so that its id (and its
// process group's) cannot pass to another process meanwhile. A pidfd makes
// the wait one poll; where the kernel has none, the state is looked at in
// short steps. False when timeout_ms (negative: none) ran out first.
class ChildWatch {
 public:
  // The system call itself: the C library's wrapper is not in every version.
  explicit ChildWatch(pid_t pid)
      : pid_(pid), pidfd_(static_cast<int>(syscall(SYS_pidfd_open, pid, 0))) {}
  ~ChildWatch() {
    if (pidfd_ >= 0) close(pidfd_);
  }
  ChildWatch(const ChildWatch&) = delete;
  ChildWatch& operator=(const ChildWatch&) = delete;

  bool WaitForEnd(int timeout_ms) const {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    for (;;) {
      if (HasEnded()) return true;
      int left = -1;
      if (timeout_ms >= 0) {
        auto rest = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (rest.count() <= 0) return false;
        left = static_cast<int>(rest.count());
      }
      if (pidfd_ >= 0) {
        struct pollfd watch = {pidfd_, POLLIN, 0};
        poll(&watch, 1, left);  // readable once the child has ended; EINTR just looks again
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(left < 0 || left > 10 ? 10 : left));
      }
    }
  }

 private:
  bool HasEnded() const {
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    int rc = Retry(
        [&] { return waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT); });
    return rc != 0 || info.si_pid == pid_;  // an error: nothing left to wait for
  }

  pid_t pid_;
  int pidfd_;
};

uint32_t Reap(pid_t pid) {
  int status = 0;
  if (Retry([&] { return waitpid(pid, &status, 0); }) != pid) return kStillActive;
  return ExitCodeFromStatus(status);
}

// Waits for a program with a time limit; ends its group when the limit runs
// out. The group is signalled only while the program is unreaped.
void Supervise(pid_t pid, uint32_t timeout_ms, ProgramResult* result) {
  ChildWatch watch(pid);
  if (!watch.WaitForEnd(static_cast<int>(timeout_ms))) {
    result->timed_out = true;
    kill(-pid, SIGTERM);
    watch.WaitForEnd(static_cast<int>(kEndGraceMilliseconds));
    // Whatever is left of the group; its id is still the program's own.
    kill(-pid, SIGKILL);
    watch.WaitForEnd(-1);
    result->ended_all = true;
  }
  result->exit_code = Reap(pid);
}

// Whether the kernel runs the file's format: an ELF image or a script with
// an interpreter line. posix_spawn gives ENOEXEC for anything else.
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

}  // namespace

ProgramResult StartProgram(const ProgramRequest& request) {
  ProgramResult result;
  std::string program = Utf8(request.file);
  std::vector<std::string> arguments{program};
  for (const std::wstring& argument : SplitCommandLineArguments(request.parameters)) {
    arguments.push_back(Utf8(argument));
  }
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(&argument[0]);
  argv.push_back(nullptr);

  const bool limited = request.wait && request.timeout_ms > 0;
  OutputFile output(request.wait && request.capture_output);
  FileActions actions(output.fd());
  SpawnAttributes attributes(limited);
  // Without an output file the program still runs, uncaptured.
  const int setup_error = actions.error() != 0 ? actions.error() : attributes.error();
  if (setup_error != 0) {
    result.start_error = static_cast<uint32_t>(setup_error);
    return result;
  }
  pid_t pid = 0;
  int rc =
      posix_spawn(&pid, program.c_str(), actions.get(), attributes.get(), argv.data(), environ);
  if (rc != 0) {
    result.start_error = static_cast<uint32_t>(rc);
    return result;
  }
  result.started = true;
  result.has_process = true;

  if (!request.wait) {
    int status = 0;
    result.exit_code = kStillActive;
    if (Retry([&] { return waitpid(pid, &status, WNOHANG); }) == pid) {
      result.exit_code = ExitCodeFromStatus(status);
    }
    return result;
  }
  if (limited) {
    Supervise(pid, request.timeout_ms, &result);
  } else {
    result.exit_code = Reap(pid);
  }
  if (output.fd() >= 0) result.output_captured = output.Read(&result.output);
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
  void* library = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library != nullptr) return library;
  // dlopen sets no errno; tell the causes apart the way the loader saw them.
  struct stat st;
  if (stat(name.c_str(), &st) != 0) {
    *error = ENOENT;
  } else if (access(name.c_str(), R_OK) != 0) {
    *error = EACCES;
  } else {
    *error = ENOEXEC;
  }
  return nullptr;
}

void* FindExport(void* library, const char* name) {
  if (library == nullptr || name == nullptr || *name == '\0') return nullptr;
  return dlsym(library, name);
}

}  // namespace platform
