// Running programs for the suite: starting them with the target's launcher
// and environment, waiting for them, and reading the log they left.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/e2e/harness.h"

extern char** environ;

namespace fs = std::filesystem;

namespace e2e {

namespace {

// The environment of a started program: this process's, with the test's
// temporary folder, the target's additions and the run's own changes.
std::vector<std::string> EnvironmentOf(const RunOptions& options, const std::string& temp_dir) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    size_t equals = entry.find('=');
    if (equals != std::string::npos) env[entry.substr(0, equals)] = entry.substr(equals + 1);
  }
  if (target().temp_per_test) env["TMPDIR"] = temp_dir;
  for (const auto& item : target().env) env[item.first] = item.second;
  for (const auto& item : options.env) env[item.first] = item.second;
  for (const auto& name : options.unset_env) env.erase(name);
  std::vector<std::string> env_entries;
  for (const auto& item : env) env_entries.push_back(item.first + "=" + item.second);
  return env_entries;
}

}  // namespace

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
  argv.insert(argv.end(), options.wrapper.begin(), options.wrapper.end());
  argv.insert(argv.end(), target().launcher.begin(), target().launcher.end());
  argv.push_back(program);
  argv.insert(argv.end(), options.arguments.begin(), options.arguments.end());

  std::vector<std::string> env_entries = EnvironmentOf(options, TempDir());

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
  int unread[2] = {-1, -1};
  if (options.stderr_closed) {
    posix_spawn_file_actions_addclose(&actions, 2);
  } else if (options.stderr_unread && pipe2(unread, O_CLOEXEC) == 0) {
    close(unread[0]);
    posix_spawn_file_actions_adddup2(&actions, unread[1], 2);
  } else {
    posix_spawn_file_actions_addopen(
        &actions, 2, process.err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  if (!options.wrapper.empty()) posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, c_argv[0], &actions, nullptr, c_argv.data(), c_env.data());
  posix_spawn_file_actions_destroy(&actions);
  if (unread[1] >= 0) close(unread[1]);
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
        name != "TaverlyRunReport.json" && name.rfind("TaverlyResumeInfo.", 0) != 0 &&
        name.rfind("TaverlyUndoJournal.", 0) != 0 && name.rfind("exe-output-", 0) != 0) {
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

static int CountOf(const std::string& haystack, const std::string& text) {
  int count = 0;
  for (size_t at = haystack.find(text); at != std::string::npos; at = haystack.find(text, at + 1)) {
    ++count;
  }
  return count;
}

bool WaitForText(const std::string& file, const std::string& text, int timeout_ms, int times) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (CountOf(ReadTextFile(file), text) < times) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace e2e
