// Times work inside the benchmark process: the module catalogue against a
// bare read-and-parse loop, and the own-signature check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace bench {

// Sets up the program's own logging as a run does (a file in the log folder
// under tmpdir, every line also on standard error), so the catalogue pays for
// its log lines as it does in a run.
void StartProgramLog(const std::string& tmpdir);

// Times LoadModules over product's module files with the installed-module
// filter; false when it fails or admits another number of items.
bool TimeLoadModules(const std::string& product, size_t expected_items, int64_t* ns);

// Times the least work that reads the same: every mod_*.xml of the module
// folder read and parsed in place once, and module_config.dat read and parsed
// once per module file; false when a file does not parse or the count differs.
bool TimeBareCatalogue(const std::string& product, size_t expected_files, int64_t* ns);

// Times the program's check of its own signature on file (tail, signature,
// digest of the content); false unless it earns the verdict the program needs.
bool TimeSignatureCheck(const std::string& file, uint64_t* size, int64_t* ns);

// Times one progress write of the run report for a run of items Exe items:
// rendered from the run record and put in place unflushed, in folder.
bool TimeProgressReport(const std::string& folder, size_t items, int64_t* ns);

}  // namespace bench
