// Runs processes and writes product folders for the benchmark program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// Reads the monotonic clock, the one the item program stamps with.
int64_t NowNs();

struct ProcessRun {
  int exit_code = -1;
  int64_t start_ns = 0;    // just before the spawn
  int64_t elapsed_ns = 0;  // spawn to reaped
  long max_rss_kib = 0;    // the child's peak resident size
};

// Runs argv with TMPDIR set to tmpdir (when not empty) and the standard
// descriptors on /dev/null; false when it could not be started.
bool RunProcess(const std::vector<std::string>& argv, const std::string& tmpdir, ProcessRun* run);

// Runs the program on a product folder and checks that the run succeeded: exit
// code 0 and a result file saying so. Waits while another copy holds the
// machine-wide lock, and empties the log folder afterwards. Prints why and
// answers false when the run failed.
bool RunTaverlyOn(const std::string& program, const std::string& product, const std::string& tmpdir,
                  ProcessRun* run);

// A product folder with one module file "mod_<module>.xml", listed as installed.
// The items (item elements) go to after_setup, but for the last two, which
// open_selfprotect and after_selfprotect get: every phase needs one.
void WriteSingleModuleProduct(const std::string& folder, const std::string& module,
                              const std::vector<std::string>& items);

// A product folder with files module files of items_per_file items each and a
// module_config.dat that lists them all. Half of a file's items belong to
// after_setup, a quarter to each other phase.
void WriteCatalogueProduct(const std::string& folder, int files, int items_per_file,
                           const std::string& item);

void WriteFile(const std::string& path, const std::string& text);
std::string ReadFile(const std::string& path);
// Writes one path per line.
void WriteList(const std::string& path, const std::vector<std::string>& lines);

}  // namespace bench
