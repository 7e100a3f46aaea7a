// Measures Taverly against what its platform allows, side by side: every
// round runs each measurement once (the order turning by one each round), and
// the table gives the median of the rounds with the ratio to the reference.
//
//   taverly-bench [--rounds=N] [--scratch=FOLDER] [--keep] [--only=TEXT]
//                 [--shipped=PROGRAM]
//
// --shipped measures PROGRAM, the Taverly as it ships (make bench installs the
// build as make release does: stripped, then signed), and times its own-
// signature check beside that of the program as built, debug information and all.
// --only runs just the measurements whose names hold TEXT and lists their
// series without the table: for looking closer at one figure.
// Runs as root (Taverly demands it), with TMPDIR of every run pointed at a
// scratch folder; waits while another Taverly holds the machine-wide lock.
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_catalogue.h"
#include "bench/bench_fixtures.h"
#include "bench/bench_measurements.h"
#include "bench/bench_runs.h"
#include "bench/bench_table.h"

namespace fs = std::filesystem;

namespace bench {
namespace {

constexpr int kMinRounds = 7;

struct Options {
  int rounds = 9;
  std::string scratch;
  bool keep = false;
  std::string only;
  std::string shipped;
};

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--rounds=", 0) == 0) {
      options->rounds = std::atoi(arg.c_str() + 9);
    } else if (arg.rfind("--scratch=", 0) == 0) {
      options->scratch = arg.substr(10);
    } else if (arg.rfind("--only=", 0) == 0) {
      options->only = arg.substr(7);
    } else if (arg.rfind("--shipped=", 0) == 0) {
      options->shipped = arg.substr(10);
    } else if (arg == "--keep") {
      options->keep = true;
    } else {
      return false;
    }
  }
  if (options->rounds < kMinRounds) {
    std::printf("at least %d rounds\n", kMinRounds);
    return false;
  }
  return true;
}

std::string FindRunParts() {
  for (const char* candidate : {"/usr/bin/run-parts", "/bin/run-parts"}) {
    if (access(candidate, X_OK) == 0) return candidate;
  }
  return std::string();
}

std::string FirstLineWith(const std::string& file, const std::string& key) {
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) {
      size_t colon = line.find(':');
      size_t start = line.find_first_not_of(" \t", colon + 1);
      return start == std::string::npos ? std::string() : line.substr(start);
    }
  }
  return std::string();
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

void PrintMachine(const char* when) {
  struct utsname names {};
  uname(&names);
  const std::time_t now = std::time(nullptr);
  char date[64];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
  std::printf("%s: %s; %u cores, %s, %s memory; Linux %s; load average %s\n",
              when,
              date,
              std::thread::hardware_concurrency(),
              FirstLineWith("/proc/cpuinfo", "model name").c_str(),
              FirstLineWith("/proc/meminfo", "MemTotal").c_str(),
              names.release,
              Trimmed(ReadFile("/proc/loadavg")).c_str());
}

// The folder the fixtures go to: a new one, or the one given, emptied.
bool MakeScratch(const Options& options, std::string* scratch) {
  *scratch = options.scratch;
  if (scratch->empty()) {
    char pattern[] = "/tmp/taverly-bench.XXXXXX";
    if (mkdtemp(pattern) == nullptr) return false;
    *scratch = pattern;
  } else {
    fs::remove_all(*scratch);
    fs::create_directories(*scratch);
  }
  return true;
}

// The measurements whose names hold only (all when it is empty).
std::vector<Measurement> Chosen(std::vector<Measurement> measurements, const std::string& only) {
  if (!only.empty()) {
    measurements.erase(std::remove_if(measurements.begin(),
                                      measurements.end(),
                                      [&](const Measurement& m) {
                                        return std::string(m.name).find(only) == std::string::npos;
                                      }),
                       measurements.end());
  }
  return measurements;
}

// A warm-up of every measurement, then the rounds, the order turning by one
// each round; false as soon as one fails.
bool RunRounds(const std::vector<Measurement>& measurements, int rounds, Series* series) {
  std::vector<double> warm_up;
  bool ok = true;
  for (const Measurement& measurement : measurements) ok = ok && measurement.run(&warm_up);
  for (int round = 0; ok && round < rounds; ++round) {
    std::printf("round %d of %d\n", round + 1, rounds);
    for (size_t k = 0; ok && k < measurements.size(); ++k) {
      const Measurement& measurement = measurements[(k + round) % measurements.size()];
      ok = measurement.run(&(*series)[measurement.name]);
    }
  }
  return ok;
}

// Answers 0 when the options are usable and the machine can run the
// benchmark; otherwise prints why and answers the exit code.
int CheckSetting(int argc, char** argv, Options* options, Programs* programs) {
  if (!ParseOptions(argc, argv, options)) {
    std::printf(
        "usage: taverly-bench [--rounds=N (N >= %d)] [--scratch=FOLDER] [--keep] "
        "[--only=TEXT]\n",
        kMinRounds);
    return 2;
  }
  if (geteuid() != 0) {
    std::printf("taverly-bench runs Taverly, which demands root: run it as root\n");
    return 2;
  }
  if (!options->shipped.empty()) programs->taverly = options->shipped;
  programs->run_parts = FindRunParts();
  if (programs->run_parts.empty()) {
    std::printf("run-parts is missing: apt-get install debianutils\n");
    return 2;
  }
  return 0;
}

int Main(int argc, char** argv) {
  Options options;
  Programs programs;
  const int refused = CheckSetting(argc, argv, &options, &programs);
  if (refused != 0) return refused;

  std::string scratch;
  if (!MakeScratch(options, &scratch)) return 1;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  PrintMachine("start");
  std::printf("scratch folder: %s; program: %s\n", scratch.c_str(), programs.taverly.c_str());
  const Fixtures fixtures = SetUp(programs, scratch);

  // The in-process catalogue logs as a run does, standard error included;
  // that goes to /dev/null, as it does for every program measured here.
  StartProgramLog(fixtures.log_tmp);
  std::fflush(stderr);
  if (std::freopen("/dev/null", "w", stderr) == nullptr) return 1;

  Bench bench(programs, fixtures);
  Series series;
  const bool ok = RunRounds(Chosen(bench.Measurements(), options.only), options.rounds, &series);
  if (ok) {
    std::printf("\n%d rounds, interleaved; medians.\n", options.rounds);
    if (options.only.empty()) {
      PrintTable(series, bench.program_size(), bench.built_size());
    } else {
      PrintSeries(series);
    }
    PrintMachine("end");
  }
  if (!options.keep && ok) fs::remove_all(scratch);
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) { return bench::Main(argc, argv); }
