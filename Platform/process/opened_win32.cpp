// Starting and loading a judged file exactly as judged, on Windows. The
// judged file is open sharing no write or delete access, so nobody can write,
// rename or delete it; but a name leads to it only while every folder on the
// way does, and a link (junction) or a renamed folder on the way can lead
// elsewhere. So the file is used by its own final path, and what runs is
// compared with it by identity: the volume serial number and the file index.
#include "Platform/process/opened_win32.h"

#include <shlwapi.h>

#include <functional>
#include <vector>

#include "Platform/win32_support.h"
#include "Rules/program_names.h"

namespace platform {
namespace win32 {
namespace {

std::function<void()>& BeforeOpenedUse() {
  static std::function<void()> hook;
  return hook;
}

// Whether the image a process was created from is the file with id. The
// system names the image by the path it was opened with.
bool ImageHasId(HANDLE process, const FileId& id) {
  std::vector<wchar_t> name(kLongestPath);
  DWORD length = kLongestPath;
  return QueryFullProcessImageNameW(process, 0, name.data(), &length) &&
         PathHasId(std::wstring(name.data(), length), id);
}

}  // namespace

bool IdOf(HANDLE file, FileId* id) {
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(file, &information)) return false;
  id->volume = information.dwVolumeSerialNumber;
  id->index_high = information.nFileIndexHigh;
  id->index_low = information.nFileIndexLow;
  return true;
}

void IdentityOf(HANDLE file, FileIdentity* identity) {
  *identity = FileIdentity();
  BY_HANDLE_FILE_INFORMATION information;
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &information) ||
      (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return;
  }
  identity->device = information.dwVolumeSerialNumber;
  identity->number = (uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow;
  identity->size = (uint64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow;
  identity->written =
      static_cast<int64_t>((uint64_t{information.ftLastWriteTime.dwHighDateTime} << 32) |
                           information.ftLastWriteTime.dwLowDateTime);
  identity->regular = true;
}

// Whether path leads to the file with id now. Opening for its attributes
// alone shares everything, so the judged file's handle never stands in the way.
bool PathHasId(const std::wstring& path, const FileId& id) {
  HANDLE file = CreateFileW(path.c_str(),
                            FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr,
                            OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  FileId found;
  const bool same = IdOf(file, &found) && found == id;
  CloseHandle(file);
  return same;
}

void RunBeforeOpenedUse() {
  if (BeforeOpenedUse()) BeforeOpenedUse()();
}

bool FinalPathOf(HANDLE file, std::wstring* path) {
  std::vector<wchar_t> buffer(kLongestPath);
  const DWORD length = GetFinalPathNameByHandleW(
      file, buffer.data(), kLongestPath, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (length == 0 || length >= kLongestPath) return false;
  std::wstring name(buffer.data(), length);
  if (name.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
    name = L"\\\\" + name.substr(8);
  } else if (name.compare(0, 4, L"\\\\?\\") == 0) {
    name = name.substr(4);
  }
  if (name.size() >= MAX_PATH) return false;
  *path = name;
  return true;
}

bool PathLeadsTo(const std::wstring& path, HANDLE file) {
  FileId id;
  return IdOf(file, &id) && PathHasId(path, id);
}

bool CreateOpenedProgram(const ProgramRequest& request, HANDLE output, const Account& account,
                         Suspended* started, uint32_t* error) {
  const HANDLE file = static_cast<HANDLE>(request.opened->native());
  FileId checked;
  std::wstring final_path;
  if (!IdOf(file, &checked) || !FinalPathOf(file, &final_path) || !PathHasId(final_path, checked)) {
    *error = ERROR_FILE_INVALID;
    return false;
  }
  const bool script = IsCommandScriptName(final_path);
  if (!script && !IsProgramName(final_path)) {
    *error = ERROR_BAD_EXE_FORMAT;
    return false;
  }
  // A program sees the name its item gave, as when the shell starts it.
  const CommandLine command = CommandLineFor(final_path, request.file, request.parameters);
  std::vector<HANDLE> inherited;
  if (output != nullptr) inherited.push_back(output);
  HANDLE script_copy = nullptr;
  if (script) {
    if (!DuplicateHandle(GetCurrentProcess(),
                         file,
                         GetCurrentProcess(),
                         &script_copy,
                         0,
                         TRUE,
                         DUPLICATE_SAME_ACCESS)) {
      *error = GetLastError();
      return false;
    }
    inherited.push_back(script_copy);
  }
  const bool created = CreateSuspended(command, inherited, output, account, started, error);
  if (script_copy != nullptr) CloseHandle(script_copy);
  if (!created) return false;
  // The command processor reads the script by its path, which must lead to
  // the judged file; a program's image must be that file.
  if (script ? !PathHasId(final_path, checked) : !ImageHasId(started->process, checked)) {
    Discard(started);
    *error = ERROR_FILE_INVALID;
    return false;
  }
  return true;
}

}  // namespace win32

void SetBeforeOpenedUseForTesting(std::function<void()> hook) {
  win32::BeforeOpenedUse() = std::move(hook);
}

bool CanStartOpenedProgram(const std::wstring& file, uint32_t* error) {
  if (!IsCommandScriptName(file) && !IsProgramName(file)) {
    if (error != nullptr) *error = ERROR_BAD_EXE_FORMAT;
    return false;
  }
  return CanStartProgram(file, error);
}

// The file a signed item is judged and started or loaded through: others
// may read it meanwhile, never write it.
ReadOnlyFile::ReadOnlyFile() : handle_(INVALID_HANDLE_VALUE) {}

ReadOnlyFile::~ReadOnlyFile() {
  if (static_cast<HANDLE>(handle_) != INVALID_HANDLE_VALUE)
    CloseHandle(static_cast<HANDLE>(handle_));
}

bool ReadOnlyFile::Open(const std::wstring& path) {
  // Others may read meanwhile but not write: a file being written fails here.
  HANDLE file = CreateFileW(path.c_str(),
                            GENERIC_READ,
                            FILE_SHARE_READ,
                            nullptr,
                            OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  // A device name (NUL, CON, a pipe) is no file.
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return false;
  }
  handle_ = file;
  return true;
}

bool ReadOnlyFile::IsOpen() const { return static_cast<HANDLE>(handle_) != INVALID_HANDLE_VALUE; }

bool ReadOnlyFile::Size(uint64_t* size) const {
  LARGE_INTEGER value;
  if (static_cast<HANDLE>(handle_) == INVALID_HANDLE_VALUE ||
      !GetFileSizeEx(static_cast<HANDLE>(handle_), &value)) {
    return false;
  }
  *size = static_cast<uint64_t>(value.QuadPart);
  return true;
}

bool ReadOnlyFile::ReadAt(uint64_t offset, void* buffer, size_t count) const {
  return static_cast<HANDLE>(handle_) != INVALID_HANDLE_VALUE &&
         win32::ReadAllAt(handle_, offset, buffer, count);
}

// Opened for its attributes alone, sharing everything, as PathHasId opens.
bool PathIdentity(const std::wstring& path, FileIdentity* identity) {
  *identity = FileIdentity();
  if (!PathExists(path)) return false;
  HANDLE file = CreateFileW(path.c_str(),
                            FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr,
                            OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return true;
  win32::IdentityOf(file, identity);
  CloseHandle(file);
  return true;
}

}  // namespace platform
