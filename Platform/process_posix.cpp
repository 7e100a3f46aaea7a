// The POSIX side of starting programs and loading libraries.
#include "Platform/process.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
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

// The file actions every start uses: the child keeps only the standard
// descriptors, so nothing of ours (the instance lock, the log) leaks into it.
class FileActions {
 public:
  FileActions() : error_(posix_spawn_file_actions_init(&actions_)) {
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

  FileActions actions;
  if (actions.error() != 0) {
    result.start_error = static_cast<uint32_t>(actions.error());
    return result;
  }
  pid_t pid = 0;
  int rc = posix_spawn(&pid, program.c_str(), actions.get(), nullptr, argv.data(), environ);
  if (rc != 0) {
    result.start_error = static_cast<uint32_t>(rc);
    return result;
  }
  result.started = true;
  result.has_process = true;

  int status = 0;
  result.exit_code = kStillActive;
  if (request.wait) {
    if (Retry([&] { return waitpid(pid, &status, 0); }) == pid) {
      result.exit_code = ExitCodeFromStatus(status);
    }
  } else if (Retry([&] { return waitpid(pid, &status, WNOHANG); }) == pid) {
    result.exit_code = ExitCodeFromStatus(status);
  }
  return result;
}

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
