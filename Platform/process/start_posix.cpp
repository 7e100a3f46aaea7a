// Starting a program on POSIX: from the request to its result, through the
// one start (spawn_posix.cpp), its containment and the wait for it.
#include "Platform/process/process.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "Platform/posix_support.h"
#include "Platform/process/process_posix.h"
#include "Rules/command_line_split.h"

extern char** environ;

namespace platform {
namespace {

using posix::ChildWatch;
using posix::Containment;
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

// The kernel's own bounds of a start: one string, its NUL counted, may have
// 32 pages; all of them together at least 128 KiB, at most three quarters of
// the default 8 MiB stack.
constexpr size_t kLongestStringPages = 32;
constexpr size_t kLeastArgumentSpace = 128 * 1024;
constexpr size_t kMostArgumentSpace = 6 * 1024 * 1024;

// E2BIG when the kernel would refuse to execute path with these arguments
// and environment (this process's, which the child inherits, or a person's
// session's); else 0. It
// counts as the kernel does: each string with its NUL, a pointer for each,
// against a quarter of the stack limit.
int ArgumentsError(const std::string& path, const std::vector<std::string>& arguments,
                   char* const* environment) {
  const size_t longest = kLongestStringPages * static_cast<size_t>(sysconf(_SC_PAGESIZE));
  size_t space = kMostArgumentSpace;
  struct rlimit stack = {};
  if (getrlimit(RLIMIT_STACK, &stack) == 0 && stack.rlim_cur != RLIM_INFINITY) {
    space = std::min(space, static_cast<size_t>(stack.rlim_cur / 4));
  }
  space = std::max(space, kLeastArgumentSpace);
  size_t used = path.size() + 1;
  bool each_fits = true;
  const auto add = [&](size_t length) {
    each_fits = each_fits && length + 1 <= longest;
    used += length + 1 + sizeof(char*);
  };
  for (const std::string& argument : arguments) add(argument.size());
  for (char* const* entry = environment; *entry != nullptr; ++entry) add(std::strlen(*entry));
  return each_fits && used <= space ? 0 : E2BIG;
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

// A start as a person (ProgramRequest::as_user): the identity and the
// environment in the form the child takes them, made here, since the child
// may allocate nothing. The user is switched only when it is another than
// this process's (effective) one; the session is made either way.
class AsUser {
 public:
  // Fills in setup's identity; nothing without a session.
  AsUser(const UserSession* session, posix::ChildSetup* setup) : session_(session) {
    if (session == nullptr) return;
    strings_ = session->environment;
    for (std::string& entry : strings_) envp_.push_back(&entry[0]);
    envp_.push_back(nullptr);
    groups_.assign(session->groups.begin(), session->groups.end());
    setup->as_user = true;
    setup->switch_user = session_->uid != geteuid();
    setup->uid = session_->uid;
    setup->gid = session_->gid;
    setup->groups = groups_.data();
    setup->group_count = groups_.size();
    setup->envp = envp_.data();
  }
  AsUser(const AsUser&) = delete;
  AsUser& operator=(const AsUser&) = delete;
  char* const* environment() const { return session_ != nullptr ? envp_.data() : environ; }

 private:
  const UserSession* session_;
  std::vector<std::string> strings_;
  std::vector<char*> envp_;
  std::vector<gid_t> groups_;
};

}  // namespace

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
  const AsUser as_user(request.as_user, &setup);
  // What the kernel would refuse is not tried: the plan asks the same.
  int rc = ArgumentsError(setup.path, arguments, as_user.environment());
  Containment containment(limited);
  if (rc == 0 && request.opened != nullptr) posix::RunBeforeOpenedUse();
  pid_t pid = 0;
  if (rc == 0) rc = containment.Start(setup, &pid);
  if (rc != 0) {
    result.start_error = static_cast<uint32_t>(rc);
    result.arguments_too_long = rc == E2BIG;
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
  // A run asked to end ends the program as its time-out would.
  const ChildWatch::WaitEnd end =
      watch.Wait(limited ? static_cast<int>(request.timeout_ms) : -1, true);
  result.timed_out = end == ChildWatch::WaitEnd::kTimedOut;
  result.ended_with_run = end == ChildWatch::WaitEnd::kEndRequested;
  const bool ended = result.timed_out || result.ended_with_run;
  if (ended) containment.End(pid, &watch, &result);
  result.exit_code = ended && !watch.WaitForEnd(0) ? kStillActive : watch.Reap(&result.signal);
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

bool CanStartOpenedProgram(const std::wstring& file, uint32_t* error) {
  return CanStartProgram(file, error);
}

bool ArgumentsWithinLimit(const std::wstring& file, const std::wstring& parameters,
                          uint32_t* error) {
  std::vector<std::string> arguments{Utf8(file)};
  for (const std::wstring& argument : SplitCommandLineArguments(parameters)) {
    arguments.push_back(Utf8(argument));
  }
  const int code = ArgumentsError(arguments.front(), arguments, environ);
  if (error != nullptr) *error = static_cast<uint32_t>(code);
  return code == 0;
}

}  // namespace platform
