#include "bench/bench_table.h"

#include <algorithm>
#include <cstdio>

#include "bench/bench_fixtures.h"

namespace bench {
namespace {

std::string Format(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

const char* Met(bool met) { return met ? "yes" : "**no**"; }

// The medians the rows are made of.
class Medians {
 public:
  explicit Medians(const Series& series) : series_(series) {}
  double operator()(const char* name) const { return Median(series_.at(name)); }

 private:
  const Series& series_;
};

// A run's fixed cost (start, checks, log, result file) against that of the
// bare loop's own process; what is left over is the cost of the items.
double PastFixed(double per_item, int items, double fixed_us) {
  return (per_item * items - fixed_us) / items;
}

void PrintExeRows(const Medians& m) {
  const double exe_small = m("exe200_taverly"), bare_small = m("exe200_bare");
  const double exe_large = m("exe1000_taverly"), bare_large = m("exe1000_bare");
  const double run_parts = m("exe200_run_parts");
  const double supervised = m("exe200_supervised");
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
      Met(exe_large / bare_large <= 1.10));
  std::printf(
      "| 1. Exe items, 200, against run-parts (µs/item) | %s | run-parts: %s | %s | < 1.00 | %s "
      "|\n",
      Format(exe_small, 1).c_str(),
      Format(run_parts, 1).c_str(),
      Format(exe_small / run_parts, 2).c_str(),
      Met(exe_small < run_parts));
  std::printf(
      "| 1. Exe items, 200, with timeout and log_output (µs/item) | %s | the same items without: "
      "%s | %s | — | — |\n",
      Format(supervised, 1).c_str(),
      Format(exe_small, 1).c_str(),
      Format(supervised / exe_small, 2).c_str());
  // What a start costs past the item's own 50 ms, when none follows another
  // closely.
  const double spaced = m("exe32_spaced") - kSpacedItemUs;
  const double spaced_supervised = m("exe32_spaced_supervised") - kSpacedItemUs;
  std::printf(
      "| 1. Exe items of 50 ms, 32, with timeout and log_output, past the 50 ms (µs/item) | %s | "
      "the same items without: %s | %s | — | — |\n",
      Format(spaced_supervised, 1).c_str(),
      Format(spaced, 1).c_str(),
      Format(spaced_supervised / spaced, 2).c_str());
}

void PrintReportRow(const Medians& m) {
  const double exe_small = m("exe200_taverly");
  const double report_write = m("report_write");
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
}

void PrintLibraryRows(const Medians& m) {
  const double exe_small = m("exe200_taverly"), bare_small = m("exe200_bare");
  const double dll = m("dll200_taverly"), bare_dll = m("dll200_bare");
  const double fixed = m("fixed_taverly"), bare_fixed = m("fixed_bare");
  const double exe_small_items = PastFixed(exe_small, kExeSmall, fixed);
  const double bare_small_items = PastFixed(bare_small, kExeSmall, bare_fixed);
  const double dll_items = PastFixed(dll, kLibraries, fixed);
  const double bare_dll_items = PastFixed(bare_dll, kLibraries, bare_fixed);
  std::printf(
      "| 2. SimpleDll items, 200 libraries (µs/item) | %s | bare dlopen + dlsym + call: %s | %s | "
      "≤ 1.50 | %s |\n",
      Format(dll, 1).c_str(),
      Format(bare_dll, 1).c_str(),
      Format(dll / bare_dll, 2).c_str(),
      Met(dll / bare_dll <= 1.50));
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
}

void PrintCatalogueAndStartupRows(const Medians& m) {
  const double load = m("catalogue_load"), bare_load = m("catalogue_bare");
  const double startup = m("startup_taverly"), empty = m("startup_empty");
  const double fixed = m("fixed_taverly"), bare_fixed = m("fixed_bare");
  std::printf(
      "| 3. Catalogue, 500 files × 20 items (ms) | LoadModules: %s | bare read + parse: %s | %s | "
      "≤ 1.20 | %s |\n",
      Format(load, 2).c_str(),
      Format(bare_load, 2).c_str(),
      Format(load / bare_load, 2).c_str(),
      Met(load / bare_load <= 1.20));
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
}

void PrintSignatureAndMemoryRows(const Medians& m, uint64_t program_size, uint64_t built_size) {
  const double rate = m("signature_mbps"), rss = m("memory_rss");
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
              Met(rss < 32));
}

}  // namespace

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  if (n == 0) return 0;
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void PrintSeries(const Series& series) {
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

void PrintTable(const Series& series, uint64_t program_size, uint64_t built_size) {
  const Medians m(series);
  std::printf("\n| Figure | Taverly | Reference | Ratio | Goal | Met |\n");
  std::printf("|---|---:|---|---:|---|---|\n");
  PrintExeRows(m);
  PrintReportRow(m);
  PrintLibraryRows(m);
  PrintCatalogueAndStartupRows(m);
  PrintSignatureAndMemoryRows(m, program_size, built_size);
  PrintSeries(series);
}

}  // namespace bench
