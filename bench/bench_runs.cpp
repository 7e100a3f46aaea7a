#include "bench/bench_runs.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace fs = std::filesystem;

namespace bench {
namespace {

const char kInstanceLock[] = "/run/VXTaverly_Mutex.lock";

// Answers whether some process holds the program's single-instance lock. Read
// from /proc/locks, because taking the lock to test it would turn away a copy
// that someone else starts at that moment.
bool InstanceLockHeld() {
  struct stat st;
  if (stat(kInstanceLock, &st) != 0) return false;
  const std::string inode = ":" + std::to_string(st.st_ino) + " ";
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    if (line.find(inode) != std::string::npos) return true;
  }
  return false;
}

void WaitForInstanceLock() {
  for (int waited_ms = 0; InstanceLockHeld(); waited_ms += 20) {
    if (waited_ms == 2000) std::printf("  (waiting: another Taverly holds %s)\n", kInstanceLock);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void EmptyFolder(const std::string& folder) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error))
    fs::remove_all(entry.path(), error);
}

std::string PhaseElement(const std::string& name, const std::string& items) {
  return "    <" + name + ">\n" + items + "    </" + name + ">\n";
}

std::string ModuleXml(const std::string& after_setup, const std::string& open_selfprotect,
                      const std::string& after_selfprotect) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
         "<!-- module file written by the benchmark -->\n"
         "<root>\n  <module>\n   <setup>\n" +
         PhaseElement("after_setup", after_setup) +
         PhaseElement("open_selfprotect", open_selfprotect) +
         PhaseElement("after_selfprotect", after_selfprotect) +
         "   </setup>\n  </module>\n</root>\n";
}

std::string ModuleConfig(const std::vector<std::string>& modules) {
  std::string json = "{\n  \"module_info\": {\n";
  for (size_t i = 0; i < modules.size(); ++i) {
    json += "    \"" + modules[i] + "\": {\"state\": \"1\"}";
    json += i + 1 < modules.size() ? ",\n" : "\n";
  }
  return json + "  }\n}\n";
}

}  // namespace

int64_t NowNs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

bool RunProcess(const std::vector<std::string>& argv, const std::string& tmpdir, ProcessRun* run) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (!tmpdir.empty() && std::string(*entry).rfind("TMPDIR=", 0) == 0) continue;
    env.push_back(*entry);
  }
  if (!tmpdir.empty()) env.push_back("TMPDIR=" + tmpdir);

  std::vector<char*> c_argv, c_env;
  for (const std::string& arg : argv) c_argv.push_back(const_cast<char*>(arg.c_str()));
  c_argv.push_back(nullptr);
  for (const std::string& entry : env) c_env.push_back(const_cast<char*>(entry.c_str()));
  c_env.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd = 0; fd <= 2; ++fd) {
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  }
  pid_t pid = 0;
  run->start_ns = NowNs();
  int rc = posix_spawn(&pid, c_argv[0], &actions, nullptr, c_argv.data(), c_env.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    std::printf("cannot start %s: %s\n", c_argv[0], std::strerror(rc));
    return false;
  }
  int status = 0;
  struct rusage usage {};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  run->elapsed_ns = NowNs() - run->start_ns;
  run->exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run->max_rss_kib = usage.ru_maxrss;
  return true;
}

bool RunTaverlyOn(const std::string& program, const std::string& product, const std::string& tmpdir,
                  ProcessRun* run) {
  const std::string log_folder = tmpdir + "/hoxinst_log";
  const std::string result_file = log_folder + "/TaverlyResultInfo.dat";
  for (int attempt = 0; attempt < 20; ++attempt) {
    WaitForInstanceLock();
    std::error_code ignored;
    fs::remove(result_file, ignored);
    if (!RunProcess({program, "--installpath=" + product}, tmpdir, run)) return false;
    const std::string result = ReadFile(result_file);
    EmptyFolder(log_folder);
    // Exit 0 without a result file: another copy took the lock first.
    if (run->exit_code == 0 && result.empty()) continue;
    if (run->exit_code == 0 && result.find("is_success=true") != std::string::npos) return true;
    std::printf("Taverly failed on %s: exit code %d, result file:\n%s\n",
                product.c_str(),
                run->exit_code,
                result.c_str());
    return false;
  }
  std::printf("Taverly could not take its single-instance lock for %s\n", product.c_str());
  return false;
}

void WriteSingleModuleProduct(const std::string& folder, const std::string& module,
                              const std::vector<std::string>& items) {
  std::string phases[3];
  for (size_t i = 0; i < items.size(); ++i) {
    size_t phase = i + 2 < items.size() ? 0 : (i + 2 == items.size() ? 1 : 2);
    phases[phase] += "      " + items[i] + "\n";
  }
  WriteFile(folder + "/modularize/mod_" + module + ".xml",
            ModuleXml(phases[0], phases[1], phases[2]));
  WriteFile(folder + "/modularize/module_config.dat", ModuleConfig({module}));
}

void WriteCatalogueProduct(const std::string& folder, int files, int items_per_file,
                           const std::string& item) {
  std::vector<std::string> modules;
  for (int f = 0; f < files; ++f) {
    char name[16];
    std::snprintf(name, sizeof name, "m%03d", f);
    modules.push_back(name);
    std::string phases[3];
    for (int i = 0; i < items_per_file; ++i) {
      int phase = i < items_per_file / 2 ? 0 : (i < items_per_file * 3 / 4 ? 1 : 2);
      phases[phase] += "      " + item + "\n";
    }
    WriteFile(folder + "/modularize/mod_" + modules.back() + ".xml",
              ModuleXml(phases[0], phases[1], phases[2]));
  }
  WriteFile(folder + "/modularize/module_config.dat", ModuleConfig(modules));
}

void WriteFile(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteList(const std::string& path, const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  WriteFile(path, text);
}

}  // namespace bench
