#include "tests/e2e/harness.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <sstream>

extern char** environ;

namespace fs = std::filesystem;

namespace e2e {

std::string TaverlyBinary() { return TAVERLY_E2E_BINARY; }
std::string SignTool() { return TAVERLY_E2E_SIGN_TOOL; }
std::string DevKey(int index) {
  return std::string(TAVERLY_E2E_KEY_DIR) + "/key" + std::to_string(index) + ".key";
}
std::string ProbeProgram() { return TAVERLY_E2E_PROBE; }

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
  fs::path target(Path(relative));
  fs::create_directories(target.parent_path());
  fs::copy_file(source, target, fs::copy_options::overwrite_existing);
}

std::string Item(const std::map<std::string, std::string>& attributes) {
  std::string xml = "<item";
  for (const auto& attribute : attributes) {
    xml += " " + attribute.first + "=\"" + attribute.second + "\"";
  }
  return xml + "/>";
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

TaverlyTest::TaverlyTest() : product_(tmp_.Join("product")) {
  fs::create_directories(TempDir());
}

RunResult TaverlyTest::Run(const RunOptions& options) {
  std::vector<std::string> argv;
  std::string program = options.program.empty() ? TaverlyBinary() : options.program;
  if (options.as_nobody) {
    // The unprivileged account needs its own temporary folder and a way to
    // reach the program.
    EXPECT_EQ(chown(TempDir().c_str(), 65534, 65534), 0);
    EXPECT_EQ(chmod(tmp_.path().c_str(), 0755), 0);
    argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
  }
  argv.push_back(program);
  argv.insert(argv.end(), options.arguments.begin(), options.arguments.end());

  std::map<std::string, std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    size_t equals = entry.find('=');
    if (equals != std::string::npos) env[entry.substr(0, equals)] = entry.substr(equals + 1);
  }
  env["TMPDIR"] = TempDir();
  for (const auto& item : options.env) env[item.first] = item.second;
  for (const auto& name : options.unset_env) env.erase(name);
  std::vector<std::string> env_entries;
  for (const auto& item : env) env_entries.push_back(item.first + "=" + item.second);

  std::vector<char*> c_argv, c_env;
  for (auto& a : argv) c_argv.push_back(&a[0]);
  c_argv.push_back(nullptr);
  for (auto& e : env_entries) c_env.push_back(&e[0]);
  c_env.push_back(nullptr);

  std::string out_file = tmp_.Join("stdout.txt"), err_file = tmp_.Join("stderr.txt");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  RunResult result;
  int rc = posix_spawn(&pid, c_argv[0], &actions, nullptr, c_argv.data(), c_env.data());
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(rc, 0) << "cannot start " << c_argv[0];
  if (rc != 0) return result;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.pid = pid;
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = ReadTextFile(out_file);
  result.err = ReadTextFile(err_file);
  return result;
}

RunResult TaverlyTest::RunWithInstallPath(const std::string& path) {
  RunOptions options;
  options.arguments = {"--installpath=" + path};
  return Run(options);
}

std::vector<std::string> TaverlyTest::LogFileNames() const {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(LogDir(), error)) {
    if (entry.is_regular_file() && !entry.is_symlink() &&
        entry.path().filename() != "TaverlyResultInfo.dat") {
      names.push_back(entry.path().filename().string());
    }
  }
  return names;
}

std::vector<LogLine> TaverlyTest::LogLines() const {
  std::vector<LogLine> lines;
  std::vector<std::string> names = LogFileNames();
  EXPECT_EQ(names.size(), 1u) << "expected exactly one log file in " << LogDir();
  if (names.size() != 1) return lines;
  static const std::regex kLine(
      R"(^([IE])\d{8} \d\d:\d\d:\d\d\.\d{6} +\d+ ([^ :\]]+:\d+)\] (.*)$)");
  std::istringstream in(ReadTextFile(LogDir() + "/" + names[0]));
  std::string text;
  while (std::getline(in, text)) {
    std::smatch match;
    if (std::regex_match(text, match, kLine)) {
      lines.push_back({match[1].str()[0], match[2].str(), match[3].str()});
    }
  }
  return lines;
}

std::vector<std::string> TaverlyTest::Messages() const {
  std::vector<std::string> messages;
  for (const LogLine& line : LogLines()) {
    messages.push_back(std::string(1, line.severity) + ":" + line.message);
  }
  return messages;
}

}  // namespace e2e
