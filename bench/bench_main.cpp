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
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_catalogue.h"
#include "bench/bench_runs.h"

namespace fs = std::filesystem;

namespace bench {
namespace {

constexpr int kMinRounds = 7;
constexpr int kExeSmall = 200;
constexpr int kExeLarge = 1000;
constexpr int kLibraries = 200;
constexpr int kCatalogueFiles = 500;
constexpr int kItemsPerFile = 20;
const char kEntry[] = "BenchEntry";

struct Options {
  int rounds = 9;
  std::string scratch;
  bool keep = false;
  std::string only;
  std::string shipped;
};

// What the benchmark runs; all but run-parts are built beside it.
struct Programs {
  std::string taverly = TAVERLY_BENCH_PROGRAM;
  std::string built = TAVERLY_BENCH_PROGRAM;
  std::string item = TAVERLY_BENCH_ITEM;
  std::string entry_library = TAVERLY_BENCH_ENTRY_LIBRARY;
  std::string bare = TAVERLY_BENCH_BARE;
  std::string empty = TAVERLY_BENCH_EMPTY;
  std::string run_parts;
};

// The folders and lists that one benchmark run works on.
struct Fixtures {
  std::string scratch, tmp, log_tmp;
  std::string exe_small, exe_large, exe_small_list, exe_large_list, run_parts_folder;
  std::string exe_supervised;
  std::string dll, dll_list;
  std::string catalogue, startup, startup_stamp;
  std::string noop, empty_list;
};

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  if (n == 0) return 0;
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

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

std::string Numbered(const char* format, int number) {
  char text[64];
  std::snprintf(text, sizeof text, format, number);
  return text;
}

// count hard links of the item program in folder, named by format; returns their paths.
std::vector<std::string> LinkPrograms(const std::string& source, const std::string& folder,
                                      const char* format, int count) {
  fs::create_directories(folder);
  std::vector<std::string> paths;
  for (int i = 0; i < count; ++i) {
    paths.push_back(folder + "/" + Numbered(format, i));
    fs::create_hard_link(source, paths.back());
  }
  return paths;
}

std::string ExeItem(const std::string& file, const std::string& param,
                    const std::string& extra = "") {
  std::string item = "<item type=\"Exe\" file=\"" + file + "\"";
  if (!param.empty()) item += " param=\"" + param + "\"";
  return item + " wait_for_exit=\"1\" exitcode=\"0\"" + extra + "/>";
}

// extra: further attributes of every item.
void WriteExeProduct(const std::string& folder, const std::string& item_program, int count,
                     const std::string& list, const std::string& extra = "") {
  const std::vector<std::string> programs =
      LinkPrograms(item_program, folder + "/bin", "p%04d", count);
  std::vector<std::string> items;
  for (int i = 0; i < count; ++i) {
    items.push_back(ExeItem("bin/" + Numbered("p%04d", i), "", extra));
  }
  WriteSingleModuleProduct(folder, "bench", items);
  WriteList(list, programs);
}

Fixtures SetUp(const Programs& programs, const std::string& scratch) {
  Fixtures f;
  f.scratch = scratch;
  f.tmp = scratch + "/tmp";
  f.log_tmp = scratch + "/tmp-bench";
  fs::create_directories(f.tmp);
  fs::create_directories(f.log_tmp);
  const std::string item = scratch + "/item";
  fs::copy_file(programs.item, item);

  f.exe_small = scratch + "/exe200";
  f.exe_small_list = scratch + "/exe200.list";
  WriteExeProduct(f.exe_small, item, kExeSmall, f.exe_small_list);
  f.exe_large = scratch + "/exe1000";
  f.exe_large_list = scratch + "/exe1000.list";
  WriteExeProduct(f.exe_large, item, kExeLarge, f.exe_large_list);
  // The same items, each with a time limit and its output in the log.
  f.exe_supervised = scratch + "/exe200-supervised";
  WriteExeProduct(f.exe_supervised,
                  item,
                  kExeSmall,
                  scratch + "/exe200-supervised.list",
                  " timeout=\"600\" log_output=\"1\"");
  f.run_parts_folder = scratch + "/run-parts";
  LinkPrograms(item, f.run_parts_folder, "p%04d", kExeSmall);

  // Copies, not links: the loader takes a second link to a file for the same library.
  f.dll = scratch + "/dll200";
  f.dll_list = scratch + "/dll200.list";
  fs::create_directories(f.dll + "/lib");
  std::vector<std::string> libraries, items;
  for (int i = 0; i < kLibraries; ++i) {
    const std::string name = "lib/" + Numbered("libentry%03d.so", i);
    fs::copy_file(programs.entry_library, f.dll + "/" + name);
    libraries.push_back(f.dll + "/" + name);
    items.push_back("<item type=\"SimpleDll\" file=\"" + name + "\" entry=\"" + kEntry +
                    "\" exitcode=\"0\"/>");
  }
  WriteSingleModuleProduct(f.dll, "bench", items);
  WriteList(f.dll_list, libraries);

  // Items of every attribute, refused by the system gate under root: the whole
  // catalogue is read, held and walked without starting 10 000 programs.
  f.catalogue = scratch + "/catalogue";
  WriteCatalogueProduct(f.catalogue,
                        kCatalogueFiles,
                        kItemsPerFile,
                        "<item type=\"Exe\" file=\"bin/tool\" "
                        "param=\"--config &quot;%productpath%/etc/tool.conf&quot; --quiet\" "
                        "wait_for_exit=\"1\" exitcode=\"0;3010\" system=\"0\"/>");

  f.startup = scratch + "/startup";
  f.startup_stamp = scratch + "/startup.stamp";
  LinkPrograms(item, f.startup + "/bin", "p%04d", 3);
  WriteSingleModuleProduct(
      f.startup,
      "bench",
      {ExeItem("bin/p0000", f.startup_stamp), ExeItem("bin/p0001", ""), ExeItem("bin/p0002", "")});
  // A whole run with nothing to start: items of a type the runner skips.
  f.noop = scratch + "/noop";
  const std::string skipped = "<item type=\"None\" file=\"bin/none\"/>";
  WriteSingleModuleProduct(f.noop, "bench", {skipped, skipped, skipped});
  f.empty_list = scratch + "/empty.list";
  WriteList(f.empty_list, {});
  return f;
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

// One measurement: run adds one sample to its series, or answers false.
struct Measurement {
  const char* name;
  std::function<bool(std::vector<double>*)> run;
};

class Bench {
 public:
  Bench(const Programs& programs, const Fixtures& fixtures) : p_(programs), f_(fixtures) {}

  std::vector<Measurement> Measurements() {
    return {
        {"exe200_taverly", [this](auto* s) { return TaverlyPerItem(f_.exe_small, kExeSmall, s); }},
        {"exe200_bare",
         [this](auto* s) {
           return BarePerItem({"spawn", f_.exe_small_list}, kExeSmall, s);
         }},
        {"exe200_run_parts", [this](auto* s) { return RunPartsPerItem(s); }},
        {"report_write", [this](auto* s) { return ReportWrite(s); }},
        {"exe200_supervised",
         [this](auto* s) { return TaverlyPerItem(f_.exe_supervised, kExeSmall, s); }},
        {"exe1000_taverly", [this](auto* s) { return TaverlyPerItem(f_.exe_large, kExeLarge, s); }},
        {"exe1000_bare",
         [this](auto* s) {
           return BarePerItem({"spawn", f_.exe_large_list}, kExeLarge, s);
         }},
        {"dll200_taverly", [this](auto* s) { return TaverlyPerItem(f_.dll, kLibraries, s); }},
        {"dll200_bare",
         [this](auto* s) {
           return BarePerItem({"dlopen", f_.dll_list, kEntry}, kLibraries, s);
         }},
        {"catalogue_load", [this](auto* s) { return LoadModules(s); }},
        {"catalogue_bare", [this](auto* s) { return BareCatalogue(s); }},
        {"startup_taverly", [this](auto* s) { return TaverlyStartup(s); }},
        {"startup_empty", [this](auto* s) { return EmptyStartup(s); }},
        {"signature_mbps",
         [this](auto* s) { return SignatureRate(p_.taverly, &program_size_, s); }},
        {"signature_built_ms",
         [this](auto* s) { return SignatureTime(p_.built, &built_size_, s); }},
        {"signature_ms", [this](auto* s) { return SignatureTime(p_.taverly, &program_size_, s); }},
        {"memory_rss", [this](auto* s) { return CatalogueRss(s); }},
        {"fixed_taverly", [this](auto* s) { return TaverlyPerItem(f_.noop, 1, s); }},
        {"fixed_bare",
         [this](auto* s) {
           return BarePerItem({"spawn", f_.empty_list}, 1, s);
         }},
    };
  }

  uint64_t program_size() const { return program_size_; }
  uint64_t built_size() const { return built_size_; }

 private:
  bool TaverlyPerItem(const std::string& product, int items, std::vector<double>* samples) {
    ProcessRun run;
    if (!RunTaverlyOn(p_.taverly, product, f_.tmp, &run)) return false;
    samples->push_back(run.elapsed_ns / 1e3 / items);
    return true;
  }

  bool BarePerItem(std::vector<std::string> args, int items, std::vector<double>* samples) {
    args.insert(args.begin(), p_.bare);
    ProcessRun run;
    if (!RunProcess(args, "", &run) || run.exit_code != 0) {
      std::printf("bare loop %s failed\n", args[1].c_str());
      return false;
    }
    samples->push_back(run.elapsed_ns / 1e3 / items);
    return true;
  }

  bool RunPartsPerItem(std::vector<double>* samples) {
    ProcessRun run;
    if (!RunProcess({p_.run_parts, f_.run_parts_folder}, "", &run) || run.exit_code != 0) {
      std::printf("run-parts failed\n");
      return false;
    }
    samples->push_back(run.elapsed_ns / 1e3 / kExeSmall);
    return true;
  }

  bool LoadModules(std::vector<double>* samples) {
    int64_t ns = 0;
    if (!TimeLoadModules(f_.catalogue, kCatalogueFiles * kItemsPerFile, &ns)) {
      std::printf("LoadModules failed on %s\n", f_.catalogue.c_str());
      return false;
    }
    samples->push_back(ns / 1e6);
    return true;
  }

  bool BareCatalogue(std::vector<double>* samples) {
    int64_t ns = 0;
    if (!TimeBareCatalogue(f_.catalogue, kCatalogueFiles, &ns)) {
      std::printf("the bare catalogue loop failed on %s\n", f_.catalogue.c_str());
      return false;
    }
    samples->push_back(ns / 1e6);
    return true;
  }

  bool TaverlyStartup(std::vector<double>* samples) {
    fs::remove(f_.startup_stamp);
    ProcessRun run;
    if (!RunTaverlyOn(p_.taverly, f_.startup, f_.tmp, &run)) return false;
    const long long stamp = std::atoll(ReadFile(f_.startup_stamp).c_str());
    if (stamp <= run.start_ns) {
      std::printf("the first item left no time stamp in %s\n", f_.startup_stamp.c_str());
      return false;
    }
    samples->push_back((stamp - run.start_ns) / 1e6);
    return true;
  }

  bool EmptyStartup(std::vector<double>* samples) {
    ProcessRun run;
    if (!RunProcess({p_.empty}, f_.tmp, &run) || run.exit_code != 0) return false;
    samples->push_back(run.elapsed_ns / 1e6);
    return true;
  }

  bool SignatureRate(const std::string& program, uint64_t* size, std::vector<double>* samples) {
    int64_t ns = 0;
    if (!TimeSignatureCheck(program, size, &ns)) {
      std::printf("%s does not pass its own signature check\n", program.c_str());
      return false;
    }
    samples->push_back(*size / 1e6 / (ns / 1e9));
    return true;
  }

  bool SignatureTime(const std::string& program, uint64_t* size, std::vector<double>* samples) {
    int64_t ns = 0;
    if (!TimeSignatureCheck(program, size, &ns)) {
      std::printf("%s does not pass its own signature check\n", program.c_str());
      return false;
    }
    samples->push_back(ns / 1e6);
    return true;
  }

  bool ReportWrite(std::vector<double>* samples) {
    int64_t ns = 0;
    if (!TimeProgressReport(f_.log_tmp, kExeSmall, &ns)) {
      std::printf("the run report cannot be written in %s\n", f_.log_tmp.c_str());
      return false;
    }
    samples->push_back(ns / 1e3);
    return true;
  }

  bool CatalogueRss(std::vector<double>* samples) {
    ProcessRun run;
    if (!RunTaverlyOn(p_.taverly, f_.catalogue, f_.tmp, &run)) return false;
    samples->push_back(run.max_rss_kib / 1024.0);
    return true;
  }

  const Programs& p_;
  const Fixtures& f_;
  uint64_t program_size_ = 0;
  uint64_t built_size_ = 0;
};

std::string Format(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

void PrintSeries(const std::map<std::string, std::vector<double>>& series) {
  std::printf("\nSeries (median, min, max over the rounds):\n");
  for (const auto& entry : series) {
    const auto& values = entry.second;
    std::printf("  %-16s %10.3f %10.3f %10.3f\n",
                entry.first.c_str(),
                Median(values),
                *std::min_element(values.begin(), values.end()),
                *std::max_element(values.begin(), values.end()));
  }
}

void PrintTable(const std::map<std::string, std::vector<double>>& series, uint64_t program_size,
                uint64_t built_size) {
  auto m = [&](const char* name) { return Median(series.at(name)); };
  auto yes = [](bool met) { return met ? "yes" : "**no**"; };
  const double exe_small = m("exe200_taverly"), bare_small = m("exe200_bare");
  const double exe_large = m("exe1000_taverly"), bare_large = m("exe1000_bare");
  const double run_parts = m("exe200_run_parts");
  const double supervised = m("exe200_supervised");
  const double report_write = m("report_write");
  const double dll = m("dll200_taverly"), bare_dll = m("dll200_bare");
  const double load = m("catalogue_load"), bare_load = m("catalogue_bare");
  const double startup = m("startup_taverly"), empty = m("startup_empty");
  const double rate = m("signature_mbps"), rss = m("memory_rss");
  // A run's fixed cost (start, checks, log, result file) against that of the
  // bare loop's own process; what is left over is the cost of the items.
  const double fixed = m("fixed_taverly"), bare_fixed = m("fixed_bare");
  auto past_fixed = [](double per_item, int items, double fixed_us) {
    return (per_item * items - fixed_us) / items;
  };
  const double exe_small_items = past_fixed(exe_small, kExeSmall, fixed);
  const double bare_small_items = past_fixed(bare_small, kExeSmall, bare_fixed);
  const double dll_items = past_fixed(dll, kLibraries, fixed);
  const double bare_dll_items = past_fixed(bare_dll, kLibraries, bare_fixed);

  std::printf("\n| Figure | Taverly | Reference | Ratio | Goal | Met |\n");
  std::printf("|---|---:|---|---:|---|---|\n");
  std::printf(
      "| 1. Exe items, 200 (µs/item) | %s | bare posix_spawn + waitpid: %s | %s | — | — |\n",
      Format(exe_small, 1).c_str(),
      Format(bare_small, 1).c_str(),
      Format(exe_small / bare_small, 2).c_str());
  std::printf(
      "| 1. Exe items, 1000 (µs/item) | %s | bare posix_spawn + waitpid: %s | %s | ≤ 1.10 | %s |\n",
      Format(exe_large, 1).c_str(),
      Format(bare_large, 1).c_str(),
      Format(exe_large / bare_large, 2).c_str(),
      yes(exe_large / bare_large <= 1.10));
  std::printf(
      "| 1. Exe items, 200, against run-parts (µs/item) | %s | run-parts: %s | %s | < 1.00 | %s "
      "|\n",
      Format(exe_small, 1).c_str(),
      Format(run_parts, 1).c_str(),
      Format(exe_small / run_parts, 2).c_str(),
      yes(exe_small < run_parts));
  std::printf(
      "| 1. Exe items, 200, with timeout and log_output (µs/item) | %s | the same items without: "
      "%s | %s | — | — |\n",
      Format(supervised, 1).c_str(),
      Format(exe_small, 1).c_str(),
      Format(supervised / exe_small, 2).c_str());
  // A run of 200 quick items writes a progress report at each phase start and
  // at most every 250 ms between items, and the final one.
  const double run_ms = exe_small * kExeSmall / 1e3;
  const double progress_writes = 3 + static_cast<int>(run_ms / 250);
  std::printf(
      "| 1. Run report of 200 items: one write (µs) | %s | %.0f progress writes in a %s ms run: "
      "%s %% of it | — | — | — |\n",
      Format(report_write, 1).c_str(),
      progress_writes,
      Format(run_ms, 1).c_str(),
      Format(100 * progress_writes * report_write / 1e3 / run_ms, 2).c_str());
  std::printf(
      "| 2. SimpleDll items, 200 libraries (µs/item) | %s | bare dlopen + dlsym + call: %s | %s | "
      "≤ 1.50 | %s |\n",
      Format(dll, 1).c_str(),
      Format(bare_dll, 1).c_str(),
      Format(dll / bare_dll, 2).c_str(),
      yes(dll / bare_dll <= 1.50));
  std::printf(
      "| 1. Exe items, 200, past the fixed cost of a run (µs/item) | %s | bare: %s | %s | — "
      "| — |\n",
      Format(exe_small_items, 1).c_str(),
      Format(bare_small_items, 1).c_str(),
      Format(exe_small_items / bare_small_items, 2).c_str());
  std::printf(
      "| 2. SimpleDll items, past the fixed cost of a run (µs/item) | %s | bare: %s | %s | — "
      "| — |\n",
      Format(dll_items, 1).c_str(),
      Format(bare_dll_items, 1).c_str(),
      Format(dll_items / bare_dll_items, 2).c_str());
  std::printf(
      "| 3. Catalogue, 500 files × 20 items (ms) | LoadModules: %s | bare read + parse: %s | %s | "
      "≤ 1.20 | %s |\n",
      Format(load, 2).c_str(),
      Format(bare_load, 2).c_str(),
      Format(load / bare_load, 2).c_str(),
      yes(load / bare_load <= 1.20));
  std::printf(
      "| 4. Start-up to the first item (ms) | %s | same libraries, returns at once: %s | %s | — | "
      "— |\n",
      Format(startup, 2).c_str(),
      Format(empty, 2).c_str(),
      Format(startup / empty, 2).c_str());
  std::printf(
      "| 4. Fixed cost of a run, nothing to start (ms) | %s | bare loop program, empty list: %s | "
      "%s | — | — |\n",
      Format(fixed / 1e3, 2).c_str(),
      Format(bare_fixed / 1e3, 2).c_str(),
      Format(fixed / bare_fixed, 2).c_str());
  std::printf("| 4. Own-signature check (MB/s) | %s (%s MB in %s ms) | — | — | — | — |\n",
              Format(rate, 0).c_str(),
              Format(program_size / 1e6, 2).c_str(),
              Format(program_size / 1e6 / rate * 1e3, 2).c_str());
  const double checked = m("signature_ms"), built = m("signature_built_ms");
  std::printf(
      "| 4. Own-signature check of the measured Taverly (bytes hashed, ms) | %llu bytes in %s ms "
      "| as built, unstripped: %llu bytes in %s ms | %s | — | — |\n",
      static_cast<unsigned long long>(program_size),
      Format(checked, 2).c_str(),
      static_cast<unsigned long long>(built_size),
      Format(built, 2).c_str(),
      Format(checked / built, 2).c_str());
  std::printf("| 5. Peak resident size, 10 000 items (MiB) | %s | — | — | < 32 | %s |\n",
              Format(rss, 1).c_str(),
              yes(rss < 32));

  PrintSeries(series);
}

int Main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
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
  Programs programs;
  if (!options.shipped.empty()) programs.taverly = options.shipped;
  programs.run_parts = FindRunParts();
  if (programs.run_parts.empty()) {
    std::printf("run-parts is missing: apt-get install debianutils\n");
    return 2;
  }

  std::string scratch = options.scratch;
  if (scratch.empty()) {
    char pattern[] = "/tmp/taverly-bench.XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    scratch = pattern;
  } else {
    fs::remove_all(scratch);
    fs::create_directories(scratch);
  }
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
  std::vector<Measurement> measurements = bench.Measurements();
  if (!options.only.empty()) {
    measurements.erase(std::remove_if(measurements.begin(),
                                      measurements.end(),
                                      [&](const Measurement& m) {
                                        return std::string(m.name).find(options.only) ==
                                               std::string::npos;
                                      }),
                       measurements.end());
  }
  std::map<std::string, std::vector<double>> series;
  std::vector<double> warm_up;
  bool ok = true;
  for (const Measurement& measurement : measurements) ok = ok && measurement.run(&warm_up);
  for (int round = 0; ok && round < options.rounds; ++round) {
    std::printf("round %d of %d\n", round + 1, options.rounds);
    for (size_t k = 0; ok && k < measurements.size(); ++k) {
      const Measurement& measurement = measurements[(k + round) % measurements.size()];
      ok = measurement.run(&series[measurement.name]);
    }
  }
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
