// Reads arbitrary file bytes as the content of a signed item: as an ELF
// library's dynamic section (where the loader would look for what it
// needs), as a PE image's import and delay-import tables, and as a command
// script's end. Beside "no crash":
// - nothing is read outside the file;
// - a library read gives a source exactly when it names a search path or a
//   dependency by path;
// - the import tables give names within their bounds, and none for bytes
//   that are no image;
// - the script's end judged through the reader is the whole-text judgement
//   of its last bytes.
#include <algorithm>
#include <string>

#include "Signing/CommandScript.h"
#include "Signing/LibrarySearch.h"
#include "Signing/PeImports.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto read = [data, size](uint64_t offset, void* buffer, size_t count) {
    FUZZ_CHECK(offset <= size && count <= size - offset, "read outside the file");
    std::copy(data + offset, data + offset + count, static_cast<uint8_t*>(buffer));
    return true;
  };
  ElfLibrarySearch search;
  if (ReadElfLibrarySearch(size, read, &search)) {
    bool unchecked = false;
    for (const std::string& paths : search.rpath) unchecked = unchecked || !paths.empty();
    for (const std::string& paths : search.runpath) unchecked = unchecked || !paths.empty();
    for (const std::string& name : search.needed) {
      unchecked = unchecked || name.find('/') != std::string::npos;
    }
    FUZZ_CHECK(unchecked == !UncheckedDependencySource(search).empty(),
               "a source that does not follow from the entries");
    FUZZ_CHECK(search.elf || (search.needed.empty() && search.runpath.empty()),
               "entries of no ELF image");
  }
  signing::PeImports imports;
  if (signing::ReadPeImports(size, read, &imports)) {
    FUZZ_CHECK(imports.image || (imports.imported.empty() && imports.delayed.empty()),
               "imports of no PE image");
    FUZZ_CHECK(imports.imported.size() <= signing::kMostImportDescriptors &&
                   imports.delayed.size() <= signing::kMostImportDescriptors,
               "more names than the reader's bound");
    for (const auto* names : {&imports.imported, &imports.delayed}) {
      for (const std::string& name : *names) {
        FUZZ_CHECK(name.size() <= signing::kLongestImportName, "a name past the longest");
      }
    }
  }
  const std::string text(reinterpret_cast<const char*>(data), size);
  const bool whole = size <= signing::kScriptEndBytes;
  const std::string end = whole ? text : text.substr(size - signing::kScriptEndBytes);
  FUZZ_CHECK(signing::CommandScriptContentEndsItself(size, read) ==
                 signing::CommandScriptEndsItself(end, whole),
             "the script's end judged differently through the reader");
  return 0;
}
