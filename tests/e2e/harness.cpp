// The target the suite runs against: which programs, how they are started
// and how they spell paths.
#include "tests/e2e/harness.h"

#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace e2e {

namespace {

std::string Environment(const char* name, const std::string& fallback = "") {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

// A build output named by the environment; the suite cannot run without it.
std::string RequiredPath(const char* name) {
  std::string value = Environment(name);
  if (value.empty()) {
    std::fprintf(stderr, "e2e: TAVERLY_E2E_TARGET=wine needs %s\n", name);
    std::exit(2);
  }
  return value;
}

std::string AccountName() {
  struct passwd* account = getpwuid(geteuid());
  return account != nullptr ? account->pw_name : "root";
}

std::string HostName() {
  struct utsname names;
  return uname(&names) == 0 ? names.nodename : "";
}

Target NativeTarget() {
  Target t;
  t.name = "native";
  t.taverly = TAVERLY_E2E_BINARY;
  t.probe = TAVERLY_E2E_PROBE;
  t.probe_library = TAVERLY_E2E_PROBE_LIBRARY;
  t.security_base = TAVERLY_E2E_SECURITY_BASE;
  t.origin_library = TAVERLY_E2E_ORIGIN_LIBRARY;
  t.origin_dependency = TAVERLY_E2E_ORIGIN_DEPENDENCY;
  t.origin_program = TAVERLY_E2E_ORIGIN_PROGRAM;
  t.sanitized = TAVERLY_E2E_SANITIZED;
  t.library_suffix = ".so";
  t.security_base_name = "libBrindle.so";
  t.line_break = "\n";
  t.system_account = geteuid() == 0;
  t.log_host = HostName();
  return t;
}

// Wine runs every process with an elevated token under the Unix account's
// name (never SYSTEM), with a temporary folder of its own inside the prefix.
Target WineTarget() {
  Target t;
  t.name = "wine";
  t.windows = true;
  t.launcher = {Environment("TAVERLY_E2E_WINE", "/usr/bin/wine")};
  std::string prefix = RequiredPath("WINEPREFIX");
  t.env = {{"WINEPREFIX", prefix}, {"WINEDEBUG", "-all"}};
  t.taverly = RequiredPath("TAVERLY_E2E_BINARY");
  t.probe = RequiredPath("TAVERLY_E2E_PROBE");
  t.probe_library = RequiredPath("TAVERLY_E2E_PROBE_LIBRARY");
  t.security_base = RequiredPath("TAVERLY_E2E_SECURITY_BASE");
  t.origin_library = RequiredPath("TAVERLY_E2E_ORIGIN_LIBRARY");
  t.origin_dependency = RequiredPath("TAVERLY_E2E_ORIGIN_DEPENDENCY");
  t.origin_program = RequiredPath("TAVERLY_E2E_ORIGIN_PROGRAM");
  t.separator = '\\';
  t.path_list_separator = ';';
  t.executable_suffix = ".exe";
  t.library_suffix = ".dll";
  t.security_base_name = "Brindle.dll";
  t.line_break = "\r\n";
  t.temp_per_test = false;
  t.account_temp = prefix + "/drive_c/users/" + AccountName() + "/Temp";
  t.system_account = false;
  t.reports_pid = false;
  // The computer name: the host name up to its first dot, in capitals, at
  // most 15 characters.
  std::string host = HostName().substr(0, HostName().find('.')).substr(0, 15);
  std::transform(host.begin(), host.end(), host.begin(), [](unsigned char c) {
    return static_cast<char>(std::toupper(c));
  });
  t.log_host = host;
  // The log file's user is the token's account, which Wine names after the
  // Unix USER the program starts with, as the native program takes USER.
  t.fixed_log_user = "";
  t.missing_library_error = 126;  // ERROR_MOD_NOT_FOUND
  t.bad_format_error = 193;       // ERROR_BAD_EXE_FORMAT
  t.ignored_byte_offset = 0x50;   // the text of the DOS stub
  return t;
}

}  // namespace

const Target& target() {
  static const Target chosen = [] {
    std::string name = Environment("TAVERLY_E2E_TARGET", "native");
    if (name == "native") return NativeTarget();
    if (name == "wine") return WineTarget();
    std::fprintf(stderr, "e2e: unknown TAVERLY_E2E_TARGET=%s (native or wine)\n", name.c_str());
    std::exit(2);
  }();
  return chosen;
}

std::string Target::Spell(const std::string& host_path) const {
  if (!windows || host_path.empty()) return host_path;
  // The prefix's drive_c is C:, everything else is reached through Z:, the root.
  std::string drive_c = env.at("WINEPREFIX") + "/drive_c";
  std::string path = "Z:" + host_path;
  if (host_path.compare(0, drive_c.size() + 1, drive_c + "/") == 0) {
    path = "C:" + host_path.substr(drive_c.size());
  }
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

std::string Target::Relative(const std::string& relative) const {
  std::string path = relative;
  std::replace(path.begin(), path.end(), '/', separator);
  return path;
}

std::string Target::IniText(const std::vector<std::string>& lines) const {
  std::string text;
  for (const std::string& line : lines) text += line + line_break;
  return text;
}

std::string TaverlyBinary() { return target().taverly; }
std::string PlanBinary() {
  return (std::filesystem::path(TaverlyBinary()).parent_path() / target().Program("taverly-plan"))
      .string();
}
std::string SignTool() { return TAVERLY_E2E_SIGN_TOOL; }
std::string DevKey(int index) {
  return std::string(TAVERLY_E2E_KEY_DIR) + "/key" + std::to_string(index) + ".key";
}
std::string ProbeProgram() { return target().probe; }

}  // namespace e2e
