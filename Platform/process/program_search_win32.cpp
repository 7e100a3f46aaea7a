// The Windows side of what a signed program has the system run besides
// itself: the libraries the loader takes from its own lists, the system
// folder, and the folder the program lies in as the loader sees it.
#include <windows.h>

#include <string>
#include <vector>

#include "Platform/files/files.h"
#include "Platform/process/opened_win32.h"
#include "Platform/process/program_search.h"
#include "Platform/system/system.h"
#include "Rules/ascii_case.h"

namespace platform {

const bool kPeImages = true;

namespace {

// The session manager's KnownDLLs: the loader maps these from its own
// section objects, whatever a folder holds.
std::vector<std::string> ReadKnownLibraries() {
  std::vector<std::string> names;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                    L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\KnownDLLs",
                    0,
                    KEY_READ,
                    &key) != ERROR_SUCCESS) {
    return names;
  }
  for (DWORD i = 0; i < 4096; ++i) {
    wchar_t name[256] = {}, data[MAX_PATH] = {};
    DWORD name_length = 256, data_size = sizeof data - sizeof(wchar_t), type = 0;
    const LONG read = RegEnumValueW(
        key, i, name, &name_length, nullptr, &type, reinterpret_cast<BYTE*>(data), &data_size);
    if (read == ERROR_NO_MORE_ITEMS) break;
    // DllDirectory and DllDirectory32 name folders, not libraries.
    if (read != ERROR_SUCCESS || type != REG_SZ || _wcsnicmp(name, L"DllDirectory", 12) == 0) {
      continue;
    }
    names.push_back(WideToNarrow(data));
  }
  RegCloseKey(key);
  return names;
}

}  // namespace

bool IsSystemOwnFile(const std::wstring&, const std::wstring&) {
  // Windows starts no "#!" script and names no loader in a program.
  return false;
}

bool IsKnownSystemLibrary(const std::string& name) {
  // API set names are resolved from the loader's own schema, never searched.
  const std::string start = name.substr(0, 4);
  if (EqualIgnoringAsciiCase(start, "api-") || EqualIgnoringAsciiCase(start, "ext-")) return true;
  static const std::vector<std::string> known = ReadKnownLibraries();
  for (const std::string& library : known) {
    if (EqualIgnoringAsciiCase(library, name)) return true;
  }
  return false;
}

std::wstring SystemFolderLibrary(const std::string& name) {
  wchar_t folder[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::wstring();
  const std::wstring path = CombinePath(folder, NarrowToWide(name.data(), name.size()));
  const DWORD attributes =
      path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return std::wstring();
  }
  return path;
}

std::wstring OpenedFileFolder(const ReadOnlyFile& file) {
  std::wstring path;
  if (file.native() == nullptr || !win32::FinalPathOf(static_cast<HANDLE>(file.native()), &path)) {
    return std::wstring();
  }
  const size_t separator = path.find_last_of(L'\\');
  return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

}  // namespace platform
