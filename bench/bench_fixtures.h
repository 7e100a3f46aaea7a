// The programs the benchmark measures and the product folders it measures
// them on.
#pragma once

#include <string>

namespace bench {

constexpr int kExeSmall = 200;
constexpr int kExeLarge = 1000;
// Items that each take 50 ms, so that no start follows another closely.
constexpr int kExeSpaced = 32;
constexpr double kSpacedItemUs = 50000;
constexpr int kLibraries = 200;
constexpr int kCatalogueFiles = 500;
constexpr int kItemsPerFile = 20;
constexpr char kEntry[] = "BenchEntry";

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
  std::string exe_spaced, exe_spaced_supervised;
  std::string dll, dll_list;
  std::string catalogue, startup, startup_stamp;
  std::string noop, empty_list;
};

// Writes every product folder and list of one benchmark run under scratch.
Fixtures SetUp(const Programs& programs, const std::string& scratch);

}  // namespace bench
