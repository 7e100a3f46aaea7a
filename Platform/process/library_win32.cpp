// Loading libraries on Windows: by path, or through the final path of a file
// the caller opened and judged, compared by identity with what loaded.
#include "Platform/process/process.h"

#include <windows.h>

#include <shlwapi.h>

#include <map>
#include <vector>

#include "Platform/process/opened_win32.h"
#include "Platform/process/process_win32.h"
#include "Platform/system/system.h"

namespace platform {
namespace {

using win32::FileId;

// The modules loaded through LoadOpenedLibrary, with the file each was
// judged as. The loader hands back a module it has under the same path, so
// one loaded otherwise (by an item without a signature check, from whatever
// lay there then) must not pass for the judged file.
std::map<HMODULE, FileId>& CheckedModules() {
  static std::map<HMODULE, FileId> modules;
  return modules;
}

// Whether a module the loader has under final_path, if any, was loaded
// through LoadOpenedLibrary from the file with id checked.
bool NoOtherModuleUnder(const std::wstring& final_path, const FileId& checked) {
  HMODULE known = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, final_path.c_str(), &known)) {
    return true;
  }
  const auto found = CheckedModules().find(known);
  return found != CheckedModules().end() && found->second == checked;
}

// Whether the file the module was loaded from is the file with id checked.
bool ModuleHasId(HMODULE library, const FileId& checked) {
  std::vector<wchar_t> name(win32::kLongestPath);
  const DWORD length = GetModuleFileNameW(library, name.data(), win32::kLongestPath);
  return length != 0 && length < win32::kLongestPath &&
         win32::PathHasId(std::wstring(name.data(), length), checked);
}

}  // namespace

void UseSystemLibrarySearch() {
  // The toolchain's linker has no flag for the loader's own search of the
  // program's imports; this covers every load after it.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

void* LoadLibraryFile(const std::wstring& path, uint32_t* error) {
  win32::KeepRuntimeFilesFromChildren();
  // The library's own imports come from its folder, the folders named to the
  // loader (the product folder) and the system folder; never from the
  // program's own folder, which the plain search would try first.
  DWORD flags = LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_USER_DIRS;
  if (!PathIsRelativeW(path.c_str())) flags |= LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR;
  HMODULE library = LoadLibraryExW(path.c_str(), nullptr, flags);
  if (library == nullptr) *error = GetLastError();
  return reinterpret_cast<void*>(library);
}

void* LoadOpenedLibrary(const ReadOnlyFile& file, const std::wstring&, DependencySearch search,
                        uint32_t* error) {
  if (file.native() == nullptr) {
    *error = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  win32::RunBeforeOpenedUse();
  win32::KeepRuntimeFilesFromChildren();
  // file stays open across the load: nobody can write, rename or delete it.
  const HANDLE opened = static_cast<HANDLE>(file.native());
  FileId checked;
  std::wstring final_path;
  if (!win32::IdOf(opened, &checked) || !win32::FinalPathOf(opened, &final_path) ||
      !win32::PathHasId(final_path, checked) || !NoOtherModuleUnder(final_path, checked)) {
    *error = ERROR_FILE_INVALID;
    return nullptr;
  }
  DWORD flags = LOAD_LIBRARY_SEARCH_SYSTEM32;
  if (search == DependencySearch::kAsUnsigned) {
    flags |= LOAD_LIBRARY_SEARCH_USER_DIRS | LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR;
  }
  HMODULE library = LoadLibraryExW(final_path.c_str(), nullptr, flags);
  if (library == nullptr) {
    *error = GetLastError();
    return nullptr;
  }
  // The library's initialisation has run by now; all that is left is not to
  // call it when what was loaded is not the judged file.
  if (!ModuleHasId(library, checked)) {
    *error = ERROR_FILE_INVALID;
    return nullptr;
  }
  CheckedModules()[library] = checked;
  return library;
}

void* FindExport(void* library, const char* name) {
  if (library == nullptr || name == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

}  // namespace platform
