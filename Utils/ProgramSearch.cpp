#include "Utils/ProgramSearch.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <set>

#include "Platform/process/program_search.h"
#include "Platform/system/system.h"
#include "Rules/ascii_case.h"
#include "Signing/LibrarySearch.h"
#include "Signing/PeImports.h"

namespace {

// The kernel reads no more of a "#!" line than this.
constexpr size_t kLongestScriptLine = 256;
// More libraries than a program and the system's own ever need together.
constexpr size_t kMostLibraries = 1024;

signing::ReadAtFunction ReaderOf(const platform::ReadOnlyFile& file) {
  return [&file](uint64_t offset, void* buffer, size_t count) {
    return file.ReadAt(offset, buffer, count);
  };
}

// The "#!" line as the kernel splits it: the interpreter up to the first
// blank or tab, the rest one argument.
std::string UncheckedInterpreter(const std::string& start, const std::wstring& product_folder) {
  std::string line = start.substr(0, start.find('\n'));
  line.erase(line.find_last_not_of(" \t") + 1);
  const size_t begin = std::min(line.find_first_not_of(" \t", 2), line.size());
  const std::string interpreter = line.substr(begin, line.find_first_of(" \t", begin) - begin);
  const size_t slash = interpreter.rfind('/');
  const std::string name = slash == std::string::npos ? interpreter : interpreter.substr(slash + 1);
  const std::wstring path = platform::NarrowToWide(interpreter.data(), interpreter.size());
  if (name != "env" && platform::IsSystemOwnFile(path, product_folder)) return std::string();
  return line;
}

std::string UncheckedElf(uint64_t size, const signing::ReadAtFunction& read,
                         const std::wstring& product_folder) {
  ElfLibrarySearch search;
  if (!ReadElfLibrarySearch(size, read, &search)) return "an unreadable dynamic section";
  const std::string source = UncheckedDependencySource(search);
  if (!source.empty()) return source;
  for (const std::string& loader : search.interpreters) {
    const std::wstring path = platform::NarrowToWide(loader.data(), loader.size());
    if (!platform::IsSystemOwnFile(path, product_folder)) return "INTERP " + loader;
  }
  return std::string();
}

struct Import {
  std::string name;
  bool delayed;
  std::string of;  // the system library that imports it; empty: the program
};

std::string Named(const Import& import) {
  return (import.delayed ? "DELAY IMPORT " : "IMPORT ") + import.name +
         (import.of.empty() ? std::string() : " of " + import.of);
}

void AddImports(const signing::PeImports& imports, const std::string& of,
                std::deque<Import>* queue) {
  for (const std::string& name : imports.imported) queue->push_back({name, false, of});
  for (const std::string& name : imports.delayed) queue->push_back({name, true, of});
}

// Walks the program's imports and, through the system folder, theirs.
std::string UncheckedPe(const platform::ReadOnlyFile& file, uint64_t size,
                        const std::wstring& product_folder) {
  signing::PeImports imports;
  if (!signing::ReadPeImports(size, ReaderOf(file), &imports)) return "an unreadable import table";
  std::deque<Import> queue;
  AddImports(imports, std::string(), &queue);
  const std::wstring folders[] = {platform::OpenedFileFolder(file), product_folder};
  std::set<std::string> seen;
  while (!queue.empty()) {
    const Import import = queue.front();
    queue.pop_front();
    std::string key = import.name;
    std::transform(key.begin(), key.end(), key.begin(), platform::AsciiLower);
    if (!seen.insert(key).second) continue;
    if (seen.size() > kMostLibraries) return "more libraries than can be checked";
    // A name with a path is loaded from there.
    if (import.name.find_first_of("\\/:") != std::string::npos) return Named(import);
    if (platform::IsKnownSystemLibrary(import.name)) continue;
    const std::wstring name = platform::NarrowToWide(import.name.data(), import.name.size());
    for (const std::wstring& folder : folders) {
      if (!folder.empty() && platform::PathExists(platform::CombinePath(folder, name))) {
        return Named(import);
      }
    }
    const std::wstring system = platform::SystemFolderLibrary(import.name);
    if (system.empty()) {
      if (import.of.empty()) return Named(import);
      continue;  // the system's own library does without it, or fails by itself
    }
    platform::ReadOnlyFile library;
    uint64_t library_size = 0;
    signing::PeImports more;
    if (library.Open(system) && library.Size(&library_size) &&
        signing::ReadPeImports(library_size, ReaderOf(library), &more)) {
      AddImports(more, import.name, &queue);
    }
  }
  return std::string();
}

}  // namespace

std::string UncheckedProgramSource(const platform::ReadOnlyFile& file,
                                   const std::wstring& product_folder) {
  uint64_t size = 0;
  if (!file.Size(&size)) return "an unreadable file";
  if (platform::kPeImages) return UncheckedPe(file, size, product_folder);
  const signing::ReadAtFunction read = ReaderOf(file);
  std::string start(static_cast<size_t>(std::min<uint64_t>(size, kLongestScriptLine)), '\0');
  if (!start.empty() && !read(0, &start[0], start.size())) return "an unreadable file";
  if (start.compare(0, 2, "#!") == 0) return UncheckedInterpreter(start, product_folder);
  return UncheckedElf(size, read, product_folder);
}

std::string ImportMissingFromSystemFolder(const platform::ReadOnlyFile& file) {
  uint64_t size = 0;
  signing::PeImports imports;
  if (!platform::kPeImages) return std::string();
  if (!file.Size(&size) || !signing::ReadPeImports(size, ReaderOf(file), &imports)) {
    return "an unreadable import table";
  }
  std::deque<Import> queue;
  AddImports(imports, std::string(), &queue);
  for (const Import& import : queue) {
    if (!platform::IsKnownSystemLibrary(import.name) &&
        platform::SystemFolderLibrary(import.name).empty()) {
      return Named(import);
    }
  }
  return std::string();
}
