#include "tests/e2e/harness.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

#include "Platform/ini_text.h"
#include "tests/support/builders.h"

extern char** environ;

namespace fs = std::filesystem;

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
std::string SignTool() { return TAVERLY_E2E_SIGN_TOOL; }
std::string DevKey(int index) {
  return std::string(TAVERLY_E2E_KEY_DIR) + "/key" + std::to_string(index) + ".key";
}
std::string ProbeProgram() { return target().probe; }

Product::Product(std::string folder) : folder_(std::move(folder)) {
  fs::create_directories(folder_ + "/modularize");
}

void Product::AddModuleFile(const std::string& file_name, const std::string& after_setup,
                            const std::string& open_selfprotect,
                            const std::string& after_selfprotect) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<root><module><setup>\n";
  if (!after_setup.empty()) xml += "<after_setup>" + after_setup + "</after_setup>\n";
  if (!open_selfprotect.empty()) {
    xml += "<open_selfprotect>" + open_selfprotect + "</open_selfprotect>\n";
  }
  if (!after_selfprotect.empty()) {
    xml += "<after_selfprotect>" + after_selfprotect + "</after_selfprotect>\n";
  }
  xml += "</setup></module></root>\n";
  WriteTextFile(folder_ + "/modularize/" + file_name, xml);
}

void Product::SetInstalledModules(const std::vector<std::string>& names) {
  std::string json = "{\"module_info\": {";
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) json += ", ";
    json += "\"" + names[i] + "\": {\"state\": \"1\"}";
  }
  json += "}}\n";
  WriteTextFile(folder_ + "/modularize/module_config.dat", json);
}

void Product::AddProbe(const std::string& relative) const { AddFile(relative, ProbeProgram()); }

void Product::AddFile(const std::string& relative, const std::string& source) const {
  fs::path target_file(Path(relative));
  fs::create_directories(target_file.parent_path());
  fs::copy_file(source, target_file, fs::copy_options::overwrite_existing);
}

std::string Item(const std::map<std::string, std::string>& attributes) {
  return ItemXml(attributes);
}

std::vector<std::string> ReadCalls(const std::string& file) {
  std::vector<std::string> calls;
  std::istringstream in(ReadTextFile(file));
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("arg=--tag=", 0) == 0) calls.push_back(line.substr(10));
    if (line.rfind("entry=", 0) == 0) calls.push_back("dll:" + line.substr(6));
  }
  return calls;
}

std::vector<ProbeRun> ReadProbeRecords(const std::string& file) {
  std::vector<ProbeRun> runs;
  std::istringstream in(ReadTextFile(file));
  std::string line;
  while (std::getline(in, line)) {
    if (line == "[run]") {
      runs.emplace_back();
    } else if (!runs.empty() && line.rfind("arg=", 0) == 0) {
      runs.back().args.push_back(line.substr(4));
    } else if (!runs.empty() && line.rfind("cwd=", 0) == 0) {
      runs.back().cwd = line.substr(4);
    } else if (!runs.empty() && line.rfind("path=", 0) == 0) {
      runs.back().path = line.substr(5);
    }
  }
  return runs;
}

bool WaitForText(const std::string& file, const std::string& text, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (ReadTextFile(file).find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

TaverlyTest::TaverlyTest() : product_(tmp_.Join("product")) {
  if (target().temp_per_test) {
    fs::create_directories(TempDir());
  } else {
    // The folder outlives the test: start from nothing, so that what is
    // found there afterwards is this test's.
    std::error_code ignored;
    fs::remove_all(LogDir(), ignored);
  }
}

TaverlyTest::~TaverlyTest() {
  // A failing test keeps its temporary folder; put the shared log folder there too.
  if (!target().temp_per_test && HasFailure()) {
    std::error_code ignored;
    fs::copy(LogDir(), tmp_.Join("hoxinst_log"), fs::copy_options::recursive, ignored);
  }
}

ProductTest::ProductTest() {
  product_.AddProbe(probe_);
  product_.SetInstalledModules({"core"});
}

std::string ProductTest::Probe(const std::string& tag,
                               const std::map<std::string, std::string>& extra) const {
  std::map<std::string, std::string> attributes = {
      {"type", "Exe"},
      {"file", target().Relative(probe_)},
      {"wait_for_exit", "1"},
      {"param",
       "--record=%productpath%" + std::string(1, target().separator) + "calls.txt --tag=" + tag}};
  for (const auto& item : extra) attributes[item.first] = item.second;
  return Item(attributes);
}

std::string ProductTest::Result(const std::string& section, const std::string& key) const {
  std::string value = "<absent>";
  GetIniValue(ReadTextFile(ResultFile()), section, key, &value);
  return value;
}

std::string TaverlyTest::TempDir() const {
  return target().temp_per_test ? tmp_.Join("tmp") : target().account_temp;
}

Process TaverlyTest::Start(const RunOptions& options) {
  std::vector<std::string> argv;
  std::string program = options.program.empty() ? TaverlyBinary() : options.program;
  if (options.as_nobody) {
    EXPECT_FALSE(target().windows) << "accounts are changed for native programs only";
    // The unprivileged account needs its own temporary folder and a way to
    // reach the program.
    EXPECT_EQ(chown(TempDir().c_str(), 65534, 65534), 0);
    EXPECT_EQ(chmod(tmp_.path().c_str(), 0755), 0);
    argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
  }
  argv.insert(argv.end(), target().launcher.begin(), target().launcher.end());
  argv.push_back(program);
  argv.insert(argv.end(), options.arguments.begin(), options.arguments.end());

  std::map<std::string, std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    size_t equals = entry.find('=');
    if (equals != std::string::npos) env[entry.substr(0, equals)] = entry.substr(equals + 1);
  }
  if (target().temp_per_test) env["TMPDIR"] = TempDir();
  for (const auto& item : target().env) env[item.first] = item.second;
  for (const auto& item : options.env) env[item.first] = item.second;
  for (const auto& name : options.unset_env) env.erase(name);
  std::vector<std::string> env_entries;
  for (const auto& item : env) env_entries.push_back(item.first + "=" + item.second);

  std::vector<char*> c_argv, c_env;
  for (auto& a : argv) c_argv.push_back(&a[0]);
  c_argv.push_back(nullptr);
  for (auto& e : env_entries) c_env.push_back(&e[0]);
  c_env.push_back(nullptr);

  Process process;
  const std::string n = std::to_string(++started_);
  process.out_file = tmp_.Join("stdout-" + n + ".txt");
  process.err_file = tmp_.Join("stderr-" + n + ".txt");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(
      &actions, 1, process.out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(
      &actions, 2, process.err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, c_argv[0], &actions, nullptr, c_argv.data(), c_env.data());
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(rc, 0) << "cannot start " << c_argv[0];
  if (rc == 0) process.pid = pid;
  return process;
}

RunResult TaverlyTest::Wait(const Process& process) {
  RunResult result;
  if (process.pid == 0) return result;
  // A program that hangs fails its test instead of holding up the suite.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  int status = 0;
  pid_t waited = 0;
  while ((waited = waitpid(process.pid, &status, WNOHANG)) == 0 || (waited < 0 && errno == EINTR)) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "the program did not end within two minutes; killed";
      kill(process.pid, SIGKILL);
      while (waitpid(process.pid, &status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  result.pid = target().reports_pid ? process.pid : 0;
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = ReadTextFile(process.out_file);
  result.err = ReadTextFile(process.err_file);
  return result;
}

RunResult TaverlyTest::Run(const RunOptions& options) { return Wait(Start(options)); }

RunResult TaverlyTest::RunWithInstallPath(const std::string& path) {
  RunOptions options;
  options.arguments = {"--installpath=" + target().Spell(path)};
  return Run(options);
}

std::vector<std::string> TaverlyTest::LogFileNames() const {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(LogDir(), error)) {
    // A Windows item's output file stays while a process it started holds it.
    const std::string name = entry.path().filename().string();
    if (entry.is_regular_file() && !entry.is_symlink() && name != "TaverlyResultInfo.dat" &&
        name != "TaverlyRunReport.json" && name != "TaverlyResumeInfo.dat" &&
        name.rfind("exe-output-", 0) != 0) {
      names.push_back(name);
    }
  }
  return names;
}

std::vector<LogLine> ParseLogLines(const std::string& text) {
  std::vector<LogLine> lines;
  static const std::regex kLine(
      R"(^([IE])\d{8} \d\d:\d\d:\d\d\.\d{6} +\d+ ([^ :\]]+:\d+)\] (.*)$)");
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // Standard error carries colour codes where the terminal type asks for them.
    static const std::regex kColour("\x1b\\[[0-9;]*m");
    line = std::regex_replace(line, kColour, "");
    std::smatch match;
    if (std::regex_match(line, match, kLine)) {
      lines.push_back({match[1].str()[0], match[2].str(), match[3].str()});
    }
  }
  return lines;
}

std::vector<std::string> MessagesOf(const std::vector<LogLine>& lines) {
  std::vector<std::string> messages;
  for (const LogLine& line : lines) {
    messages.push_back(std::string(1, line.severity) + ":" + line.message);
  }
  return messages;
}

std::vector<LogLine> TaverlyTest::LogLines() const {
  std::vector<std::string> names = LogFileNames();
  EXPECT_EQ(names.size(), 1u) << "expected exactly one log file in " << LogDir();
  if (names.size() != 1) return {};
  return ParseLogLines(ReadTextFile(LogDir() + "/" + names[0]));
}

std::vector<std::string> TaverlyTest::Messages() const { return MessagesOf(LogLines()); }

}  // namespace e2e
