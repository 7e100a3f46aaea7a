// The POSIX side of the platform layer.
#include "Platform/files/files.h"
#include "Platform/system/system.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Platform/posix_support.h"
#include "Rules/ascii_case.h"
#include "Rules/folder_trust.h"
#include "Rules/instance_guard.h"
#include "Rules/utf8.h"
#include "Rules/wildcard.h"

namespace platform {

const wchar_t kPathSeparator = L'/';
const char kPathListSeparator = ':';
const wchar_t kSecurityBaseLibrary[] = L"libBrindle.so";

namespace {

using posix::OpenRegularFile;
using posix::OpenTrustedFolder;
using posix::Retry;
using posix::SplitFolderAndName;
using posix::Utf8;
using posix::WriteAll;

}  // namespace

// --- Process ---------------------------------------------------------------

void KeepStandardStreamsTaken() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor: fd itself.
    const int null = Retry([&] { return open("/dev/null", O_RDWR); });
    if (null > STDERR_FILENO) close(null);
  }
  // A standard error nobody reads (a pipe whose reader is gone) must not end
  // the run at its first log line; a write there fails instead. Started
  // programs get SIGPIPE's default back with every other signal. Likewise a
  // limit on file sizes fails a write (EFBIG) as a full disk does, rather
  // than end the run before it says its outcome.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
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
  // Made whole here, once, so that every later use names the same folder
  // after the run has made the product folder its working directory.
  char cwd[PATH_MAX];
  if (folder[0] != '/' && getcwd(cwd, sizeof cwd) != nullptr)
    folder = std::string(cwd) + "/" + folder;
  return NarrowToWide(folder.data(), folder.size());
}

uint32_t AnsiCodePage() { return 0; }

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

std::string AccountName() {
  struct passwd pwd;
  struct passwd* result = nullptr;
  char buffer[1024] = {'\0'};
  uid_t uid = geteuid();
  if (getpwuid_r(uid, &pwd, buffer, sizeof buffer, &result) == 0 && result != nullptr) {
    return pwd.pw_name;
  }
  return std::string();
}

std::string LogUserName() {
  // The same order of sources as the logging library's own user lookup.
  const char* user = std::getenv("USER");
  if (user != nullptr) return *user != '\0' ? user : "invalid-user";
  const std::string account = AccountName();
  return !account.empty() ? account : "uid" + std::to_string(geteuid());
}

std::string ErrorText(uint32_t error) {
  char buffer[256] = {};
  // The GNU strerror_r may answer with a static text instead of the buffer.
  const char* text = strerror_r(static_cast<int>(error), buffer, sizeof buffer);
  return "error " + std::to_string(error) + ": " + (text != nullptr ? text : "unknown error");
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

// File names are bytes: what is not UTF-8 in them survives the round trip
// through wide text, and leaves it as valid UTF-8 only where UTF-8 is asked for.
std::wstring NarrowToWide(const char* bytes, size_t count) {
  const std::u32string text = DecodeUtf8(bytes, count, StrayBytes::kKeep);
  return std::wstring(text.begin(), text.end());
}

std::string WideToNarrow(const std::wstring& text) {
  const std::u32string code_points(text.begin(), text.end());
  return EncodeUtf8(code_points.data(), code_points.size(), StrayBytes::kKeep);
}

std::string WideToUtf8KeepingStrays(const std::wstring& text) { return WideToNarrow(text); }

CharacterReader OutputLineReader(const std::string&) { return Utf8SequenceAt; }

std::string WideToUtf8(const std::wstring& text) {
  const std::u32string code_points(text.begin(), text.end());
  return EncodeUtf8(code_points.data(), code_points.size());
}

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

bool PathIdentity(const std::wstring& path, FileIdentity* identity) {
  *identity = FileIdentity();
  if (path.empty()) return false;
  struct stat st;
  if (stat(Utf8(path).c_str(), &st) != 0) return false;
  *identity = posix::IdentityOf(st);
  return true;
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
  // A folder of the account's own that was there already, open to reading by
  // others (0755, 0750, 0705), is closed as a new one is made. Where the
  // system refuses, it is used as found, as on Windows.
  fchmod(fd, 0700);
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

bool ReadFileText(const std::wstring& path, std::string* content, FileIdentity* identity) {
  content->clear();
  if (identity != nullptr) *identity = FileIdentity();
  struct stat st;
  int fd = OpenRegularFile(path, &st);
  if (fd < 0) return false;
  if (identity != nullptr) *identity = posix::IdentityOf(st);
  char buffer[8192];
  ssize_t n;
  while ((n = Retry([&] { return read(fd, buffer, sizeof buffer); })) > 0) {
    content->append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

}  // namespace platform
