// Names what a signed program has the system run besides itself that
// nobody checked: the libraries and the loader an ELF program names
// (Signing/LibrarySearch.h), the interpreter of a "#!" script, and on Windows the
// libraries a PE image imports (Signing/PeImports.h) where the loader could
// take one from the product instead of the system. Everything is read from
// the open file that was checked.
#pragma once

#include <string>

#include "Platform/files/files.h"

// The first source of code that is not the system's own, as the refusal
// line names it: "RUNPATH $ORIGIN", "NEEDED ./libx.so", "INTERP /opt/p/ld.so",
// "#!/opt/p/bin/interp", "IMPORT wdep.dll", "DELAY IMPORT x.dll",
// "IMPORT x.dll of version.dll" (a system library's import), or what could
// not be read. Empty when there is none (a file of no format the system
// runs included: its start fails by itself).
//
// A "#!" interpreter must be the system's own file (platform::IsSystemOwnFile,
// outside product_folder) and not "env", which runs what PATH names, and
// PATH ends with the product folder. On Windows an imported library is
// refused unless the loader takes it from its own lists; one that the system
// folder does not hold, or of whose name a file lies beside the program or
// in the product folder (the working directory, and on PATH), is refused, and
// so is a file beside them of the name of what the system's libraries import.
std::string UncheckedProgramSource(const platform::ReadOnlyFile& file,
                                   const std::wstring& product_folder);

// Windows, where a signed library's imports are looked for in the system
// folder alone: the first import or delay import that the system folder
// does not hold ("IMPORT wdep.dll"), which keeps it from loading. Empty when
// there is none, and on POSIX.
std::string ImportMissingFromSystemFolder(const platform::ReadOnlyFile& file);
