// Reads where an ELF library or program has the system's loader look for the
// libraries it needs: the names it needs (DT_NEEDED, and the filter entries
// DT_AUXILIARY and DT_FILTER) and the search paths of its own (DT_RPATH,
// DT_RUNPATH, where "$ORIGIN" stands for its folder), the auditors the loader
// runs inside it (DT_AUDIT, DT_DEPAUDIT), and a program's loader itself
// (PT_INTERP). A signed item is refused when any of them could bring
// in code that nobody checked.
// Every value is read through a ReadAtFunction, never past the file's
// size, so no forged header steers a read outside the file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Signing/SignatureBlock.h"

struct ElfLibrarySearch {
  bool elf = false;                 // the bytes start with an ELF header this reader knows
  std::vector<std::string> needed;  // with the filter entries, in file order
  std::vector<std::string> rpath;
  std::vector<std::string> runpath;
  std::vector<std::string> audit;  // DT_AUDIT and DT_DEPAUDIT, as written
  // A program's loader (PT_INTERP), which the kernel starts by its path.
  std::vector<std::string> interpreters;
};

// Reads the dynamic section of a file of size bytes. False only when a read
// the headers promise fails; bytes that are no ELF image give true with
// search->elf false, and an image without a dynamic section gives empty lists.
bool ReadElfLibrarySearch(uint64_t size, const signing::ReadAtFunction& read,
                          ElfLibrarySearch* search);

// The first entry that could have the loader take a library from anywhere
// but the system's own folders: "RPATH <paths>", "RUNPATH <paths>",
// "AUDIT <libraries>" (the loader runs an auditor inside whatever it loads), or
// "NEEDED <name>" for a name with a "/" (found from the working directory or
// as written). Empty when there is none.
std::string UncheckedDependencySource(const ElfLibrarySearch& search);
