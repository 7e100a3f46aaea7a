// The POSIX side of the platform layer.
#include "Platform/platform.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Platform/command_line_split.h"
#include "Platform/ini_text.h"

extern char** environ;

namespace platform {

const wchar_t kPathSeparator = L'/';
const char kPathListSeparator = ':';
const wchar_t kSecurityBaseLibrary[] = L"libBrindle.so";

namespace {

const char kInstanceLockPath[] = "/run/VXTaverly_Mutex.lock";

std::string Utf8(const std::wstring& text) { return WideToNarrow(text); }

// Retries a system call interrupted by a signal.
template <typename Call>
auto Retry(Call call) -> decltype(call()) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = Retry([&] { return write(fd, data.data() + done, data.size() - done); });
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Opens a folder the program may write through: a real folder (not a link),
// owned by the effective user, not writable by group or others. -1 and errno
// otherwise.
int OpenTrustedFolder(const std::string& folder) {
  int fd =
      Retry([&] { return open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); });
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
      (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    close(fd);
    errno = EACCES;
    return -1;
  }
  return fd;
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

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Matches name against a pattern of "*" and "?" ignoring ASCII case.
bool WildcardMatch(const char* pattern, const char* name) {
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*name != '\0') {
    if (*pattern == '*') {
      star = pattern++;
      resume = name;
    } else if (*pattern == '?' || AsciiLower(*pattern) == AsciiLower(*name)) {
      ++pattern;
      ++name;
    } else if (star != nullptr) {
      pattern = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}

bool LessIgnoringAsciiCase(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return static_cast<unsigned char>(AsciiLower(x)) < static_cast<unsigned char>(AsciiLower(y));
  });
}

uint32_t ExitCodeFromStatus(int status) {
  if (WIFEXITED(status)) return static_cast<uint32_t>(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return 128u + static_cast<uint32_t>(WTERMSIG(status));
  return kStillActive;
}

}  // namespace

// --- Process ---------------------------------------------------------------

InstanceClaim ClaimSingleInstance() {
  // The descriptor is deliberately never closed: the kernel drops the lock at
  // exit, and close-on-exec keeps started programs from inheriting it.
  int fd = Retry(
      [] { return open(kInstanceLockPath, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600); });
  if (fd < 0) return InstanceClaim::kNoHandle;
  if (Retry([&] { return flock(fd, LOCK_EX | LOCK_NB); }) == 0) return InstanceClaim::kOnlyCopy;
  if (errno == EWOULDBLOCK) {
    close(fd);
    return InstanceClaim::kAlreadyRunning;
  }
  close(fd);
  return InstanceClaim::kNoHandle;
}

std::vector<std::wstring> CommandLineArguments() {
  std::vector<std::wstring> arguments;
  FILE* file = std::fopen("/proc/self/cmdline", "rb");
  if (file == nullptr) return arguments;
  std::string content;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, n);
  std::fclose(file);
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\0', start);
    if (end == std::string::npos) end = content.size();
    arguments.push_back(NarrowToWide(content.data() + start, end - start));
    start = end + 1;
  }
  return arguments;
}

std::wstring OwnExecutablePath() {
  char buffer[PATH_MAX + 1];
  ssize_t n = readlink("/proc/self/exe", buffer, PATH_MAX);
  if (n <= 0) return std::wstring();
  return NarrowToWide(buffer, static_cast<size_t>(n));
}

std::wstring TempFolder() {
  const char* tmpdir = std::getenv("TMPDIR");
  std::string folder = (tmpdir != nullptr && *tmpdir != '\0') ? tmpdir : "/tmp";
  return NarrowToWide(folder.data(), folder.size());
}

std::wstring CombinePath(const std::wstring& folder, const std::wstring& name) {
  std::wstring result = folder;
  if (!result.empty() && result.back() != kPathSeparator) result += kPathSeparator;
  result += name;
  if (Utf8(result).size() >= PATH_MAX) return std::wstring();
  return result;
}

std::string LogHostName() {
  struct utsname names;
  if (uname(&names) != 0) return std::string();
  return names.nodename;
}

std::string LogUserName() {
  // The same order of sources as the logging library's own user lookup.
  const char* user = std::getenv("USER");
  if (user != nullptr) return *user != '\0' ? user : "invalid-user";
  struct passwd pwd;
  struct passwd* result = nullptr;
  char buffer[1024] = {'\0'};
  uid_t uid = geteuid();
  if (getpwuid_r(uid, &pwd, buffer, sizeof buffer, &result) == 0 && result != nullptr) {
    return pwd.pw_name;
  }
  return "uid" + std::to_string(uid);
}

// --- Privileges ------------------------------------------------------------

// Elevation is the effective user being root; there is no older scheme.
int OsMajorVersion() { return 10; }

ElevationAnswer QueryTokenElevation() {
  ElevationAnswer answer;
  answer.opened = true;
  answer.elevated = geteuid() == 0;
  return answer;
}

bool IsAdministratorsMember() { return geteuid() == 0; }

// Root is the system's own account, as LocalSystem is on Windows.
bool IsSystemAccount() { return geteuid() == 0; }

// --- Text ------------------------------------------------------------------

std::wstring NarrowToWide(const char* bytes, size_t count) {
  std::wstring out;
  if (bytes == nullptr) return out;
  out.reserve(count);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes);
  const unsigned char* end = p + count;
  while (p < end) {
    unsigned char c = *p;
    if (c < 0x80) {
      out.push_back(static_cast<wchar_t>(c));
      ++p;
      continue;
    }
    int length = 0;
    uint32_t cp = 0;
    uint32_t min = 0;
    if ((c & 0xE0) == 0xC0) {
      length = 2;
      cp = c & 0x1F;
      min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3;
      cp = c & 0x0F;
      min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4;
      cp = c & 0x07;
      min = 0x10000;
    }
    bool valid = length > 0 && end - p >= length;
    for (int i = 1; valid && i < length; ++i) {
      if ((p[i] & 0xC0) != 0x80)
        valid = false;
      else
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (valid && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) valid = false;
    if (valid) {
      out.push_back(static_cast<wchar_t>(cp));
      p += length;
    } else {
      // One replacement character for each byte that starts no valid sequence.
      out.push_back(L'\xFFFD');
      ++p;
    }
  }
  return out;
}

std::string WideToNarrow(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t wc : text) {
    uint32_t cp = static_cast<uint32_t>(wc);
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

std::string WideToUtf8(const std::wstring& text) { return WideToNarrow(text); }

// --- Environment -----------------------------------------------------------

std::string GetEnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : std::string();
}

bool SetPathVariable(const std::string& value) { return setenv("PATH", value.c_str(), 1) == 0; }

bool SetCurrentFolder(const std::wstring& folder) { return chdir(Utf8(folder).c_str()) == 0; }

// --- File system -------------------------------------------------------------

bool PathExists(const std::wstring& path) {
  if (path.empty()) return false;
  struct stat st;
  return stat(Utf8(path).c_str(), &st) == 0;
}

bool PrepareLogFolder(const std::wstring& folder) {
  std::string path = Utf8(folder);
  if (path.empty()) return false;
  // Create every missing component, owner-only.
  for (size_t pos = path.find('/', 1);; pos = path.find('/', pos + 1)) {
    std::string part = pos == std::string::npos ? path : path.substr(0, pos);
    if (!part.empty()) mkdir(part.c_str(), 0700);
    if (pos == std::string::npos) break;
  }
  int fd = OpenTrustedFolder(path);
  if (fd < 0) return false;
  close(fd);
  return true;
}

bool FindFiles(const std::wstring& search, std::vector<std::wstring>* names, uint32_t* error) {
  names->clear();
  std::string folder, pattern;
  SplitFolderAndName(Utf8(search), &folder, &pattern);
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) {
    *error = static_cast<uint32_t>(errno);
    return false;
  }
  std::vector<std::string> found;
  while (struct dirent* entry = readdir(dir)) {
    if (WildcardMatch(pattern.c_str(), entry->d_name)) found.push_back(entry->d_name);
  }
  closedir(dir);
  if (found.empty()) {
    *error = kErrorFileNotFound;
    return false;
  }
  // The order the Windows file system returns, so a run is reproducible.
  std::sort(found.begin(), found.end(), LessIgnoringAsciiCase);
  for (const std::string& name : found) names->push_back(NarrowToWide(name.data(), name.size()));
  return true;
}

bool OpenInputStream(const std::wstring& path, std::ifstream* stream) {
  stream->open(Utf8(path), std::ios::in);
  return stream->is_open();
}

ReadOnlyFile::ReadOnlyFile() : handle_(reinterpret_cast<void*>(static_cast<intptr_t>(-1))) {}

ReadOnlyFile::~ReadOnlyFile() {
  int fd = static_cast<int>(reinterpret_cast<intptr_t>(handle_));
  if (fd >= 0) close(fd);
}

bool ReadOnlyFile::Open(const std::wstring& path) {
  // Non-blocking open so a planted FIFO cannot hang the caller; only regular
  // files count as readable, as folders cannot be opened on Windows either.
  int fd = Retry([&] { return open(Utf8(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); });
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return false;
  }
  handle_ = reinterpret_cast<void*>(static_cast<intptr_t>(fd));
  return true;
}

bool ReadOnlyFile::Size(uint64_t* size) const {
  int fd = static_cast<int>(reinterpret_cast<intptr_t>(handle_));
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool ReadOnlyFile::ReadAt(uint64_t offset, void* buffer, size_t count) const {
  int fd = static_cast<int>(reinterpret_cast<intptr_t>(handle_));
  if (fd < 0) return false;
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

bool WriteProfileString(const std::wstring& section, const std::wstring& key,
                        const std::wstring& value, const std::wstring& path, uint32_t* error) {
  std::string folder, name;
  SplitFolderAndName(Utf8(path), &folder, &name);
  int dir = OpenTrustedFolder(folder);
  if (dir < 0) {
    *error = static_cast<uint32_t>(errno);
    return false;
  }
  auto fail = [&](int code) {
    close(dir);
    *error = static_cast<uint32_t>(code);
    return false;
  };

  std::string content;
  mode_t mode = 0644;
  int in = Retry(
      [&] { return openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK); });
  if (in >= 0) {
    struct stat st;
    if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
      close(in);
      return fail(EINVAL);
    }
    mode = st.st_mode & 07777;
    char buffer[8192];
    ssize_t n;
    while ((n = Retry([&] { return read(in, buffer, sizeof buffer); })) > 0)
      content.append(buffer, n);
    int read_errno = errno;
    close(in);
    if (n < 0) return fail(read_errno);
  } else if (errno != ENOENT) {
    return fail(errno);
  }

  std::string updated = SetIniValue(content, Utf8(section), Utf8(key), Utf8(value));

  // Write the whole new file beside the old one, flush it, and rename it over:
  // neither a crash nor a full disk leaves a torn or empty file.
  std::string temp = "." + name + "." + std::to_string(getpid()) + ".tmp";
  unlinkat(dir, temp.c_str(), 0);
  int out = Retry([&] {
    return openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  });
  if (out < 0) return fail(errno);
  if (!WriteAll(out, updated) || fsync(out) != 0) {
    int code = errno != 0 ? errno : EIO;
    close(out);
    unlinkat(dir, temp.c_str(), 0);
    return fail(code);
  }
  if (close(out) != 0 || renameat(dir, temp.c_str(), dir, name.c_str()) != 0) {
    int code = errno;
    unlinkat(dir, temp.c_str(), 0);
    return fail(code);
  }
  fsync(dir);
  close(dir);
  return true;
}

// --- Programs and libraries --------------------------------------------------

bool StartProgram(const std::wstring& file, const std::wstring& parameters, bool wait,
                  uint32_t* exit_code) {
  std::string program = Utf8(file);
  std::vector<std::string> arguments{program};
  for (const std::wstring& argument : SplitCommandLineArguments(parameters)) {
    arguments.push_back(Utf8(argument));
  }
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(&argument[0]);
  argv.push_back(nullptr);

  // The child gets only the standard descriptors; nothing of ours leaks into it.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;

  int status = 0;
  uint32_t code = kStillActive;
  if (wait) {
    if (Retry([&] { return waitpid(pid, &status, 0); }) == pid) code = ExitCodeFromStatus(status);
  } else if (Retry([&] { return waitpid(pid, &status, WNOHANG); }) == pid) {
    code = ExitCodeFromStatus(status);
  }
  if (exit_code != nullptr) *exit_code = code;
  return true;
}

bool CanStartProgram(const std::wstring& file) {
  std::string program = Utf8(file);
  struct stat st;
  if (program.empty() || stat(program.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  return access(program.c_str(), X_OK) == 0;
}

void* LoadLibraryFile(const std::wstring& path, uint32_t* error) {
  std::string name = Utf8(path);
  void* library = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library != nullptr) return library;
  // dlopen sets no errno; tell the causes apart the way the loader saw them.
  struct stat st;
  if (stat(name.c_str(), &st) != 0)
    *error = ENOENT;
  else if (access(name.c_str(), R_OK) != 0)
    *error = EACCES;
  else
    *error = ENOEXEC;
  return nullptr;
}

void* FindExport(void* library, const char* name) {
  if (library == nullptr || name == nullptr || *name == '\0') return nullptr;
  return dlsym(library, name);
}

}  // namespace platform
