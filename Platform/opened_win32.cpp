// Starting and loading a judged file exactly as judged, on Windows. The
// judged file is open sharing no write or delete access, so nobody can write,
// rename or delete it; but a name leads to it only while every folder on the
// way does, and a link (junction) or a renamed folder on the way can lead
// elsewhere. So the file is used by its own final path, and what runs is
// compared with it by identity: the volume serial number and the file index.
#include "Platform/opened_win32.h"

#include <shlwapi.h>

#include <functional>
#include <map>
#include <vector>

#include "Platform/ascii_case.h"
#include "Platform/win32_support.h"

namespace platform {
namespace win32 {
namespace {

// The longest path the wide calls give (\\?\ paths included).
constexpr DWORD kLongestPath = 32768;

std::function<void()>& BeforeOpenedUse() {
  static std::function<void()> hook;
  return hook;
}

struct FileId {
  DWORD volume = 0;
  DWORD index_high = 0;
  DWORD index_low = 0;
  bool operator==(const FileId& other) const {
    return volume == other.volume && index_high == other.index_high && index_low == other.index_low;
  }
};

bool IdOf(HANDLE file, FileId* id) {
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(file, &information)) return false;
  id->volume = information.dwVolumeSerialNumber;
  id->index_high = information.nFileIndexHigh;
  id->index_low = information.nFileIndexLow;
  return true;
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

// Whether the image a process was created from is the file with id. The
// system names the image by the path it was opened with.
bool ImageHasId(HANDLE process, const FileId& id) {
  std::vector<wchar_t> name(kLongestPath);
  DWORD length = kLongestPath;
  return QueryFullProcessImageNameW(process, 0, name.data(), &length) &&
         PathHasId(std::wstring(name.data(), length), id);
}

// The extension of path in lower case, dot included ("" when none).
std::string ExtensionOf(const std::wstring& path) {
  std::string narrow;
  for (const wchar_t* c = PathFindExtensionW(path.c_str()); *c != L'\0'; ++c) {
    narrow.push_back(*c < 0x80 ? AsciiLower(static_cast<char>(*c)) : '?');
  }
  return narrow;
}

bool IsCommandScriptPath(const std::wstring& path) {
  const std::string extension = ExtensionOf(path);
  return extension == ".bat" || extension == ".cmd";
}

bool IsProgramPath(const std::wstring& path) {
  const std::string extension = ExtensionOf(path);
  return extension == ".exe" || extension == ".com";
}

// Creates a process suspended, inheriting exactly the handles given, hidden:
// with output as its standard output and error (no window), or, as the
// shell starts a program, with a console of its own.
bool CreateSuspended(const std::wstring& application, std::wstring* command_line,
                     std::vector<HANDLE> inherited, HANDLE output, PROCESS_INFORMATION* started,
                     uint32_t* error) {
  STARTUPINFOEXW startup = {};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESHOWWINDOW;
  startup.StartupInfo.wShowWindow = SW_HIDE;
  DWORD flags = CREATE_SUSPENDED | CREATE_NEW_CONSOLE;
  if (output != nullptr) {
    startup.StartupInfo.dwFlags |= STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdOutput = output;
    startup.StartupInfo.hStdError = output;
    flags = CREATE_SUSPENDED | CREATE_NO_WINDOW;
  }
  std::vector<unsigned char> storage;
  bool ok = true;
  if (!inherited.empty()) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    storage.resize(size);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    ok = InitializeProcThreadAttributeList(attributes, 1, 0, &size) != FALSE;
    if (ok) startup.lpAttributeList = attributes;
    ok = ok && UpdateProcThreadAttribute(attributes,
                                         0,
                                         PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                         inherited.data(),
                                         inherited.size() * sizeof(HANDLE),
                                         nullptr,
                                         nullptr) != FALSE;
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  }
  ok = ok && CreateProcessW(application.c_str(),
                            &(*command_line)[0],
                            nullptr,
                            nullptr,
                            inherited.empty() ? FALSE : TRUE,
                            flags,
                            nullptr,
                            nullptr,
                            &startup.StartupInfo,
                            started) != FALSE;
  if (!ok) *error = GetLastError();
  if (startup.lpAttributeList != nullptr) DeleteProcThreadAttributeList(startup.lpAttributeList);
  return ok;
}

// The modules loaded through LoadOpenedLibraryFile, with the file each was
// judged as. The loader hands back a module it has under the same path, so
// one loaded otherwise (by an item without a signature check, from whatever
// lay there then) must not pass for the judged file.
std::map<HMODULE, FileId>& CheckedModules() {
  static std::map<HMODULE, FileId> modules;
  return modules;
}

}  // namespace

std::wstring SystemCommandProcessor() {
  wchar_t folder[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::wstring();
  return std::wstring(folder, length) + L"\\cmd.exe";
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

bool StartOpenedProgram(const ProgramRequest& request, HANDLE output, Job* job,
                        ProgramResult* result, HANDLE* process, DWORD* process_id) {
  const HANDLE file = static_cast<HANDLE>(request.opened->native());
  FileId checked;
  std::wstring final_path;
  if (!IdOf(file, &checked) || !FinalPathOf(file, &final_path) || !PathHasId(final_path, checked)) {
    result->start_error = ERROR_FILE_INVALID;
    return false;
  }
  const bool script = IsCommandScriptPath(final_path);
  if (!script && !IsProgramPath(final_path)) {
    result->start_error = ERROR_BAD_EXE_FORMAT;
    return false;
  }
  // A program sees the name its item gave, as when the shell starts it.
  std::wstring application = final_path;
  std::wstring command_line = L"\"" + request.file + L"\" " + request.parameters;
  std::vector<HANDLE> inherited;
  if (output != nullptr) inherited.push_back(output);
  HANDLE script_copy = nullptr;
  if (script) {
    application = SystemCommandProcessor();
    command_line =
        L"\"" + application + L"\" /c \"\"" + final_path + L"\" " + request.parameters + L"\"";
    if (!DuplicateHandle(GetCurrentProcess(),
                         file,
                         GetCurrentProcess(),
                         &script_copy,
                         0,
                         TRUE,
                         DUPLICATE_SAME_ACCESS)) {
      result->start_error = GetLastError();
      return false;
    }
    inherited.push_back(script_copy);
  }
  PROCESS_INFORMATION started = {};
  const bool created = CreateSuspended(
      application, &command_line, inherited, output, &started, &result->start_error);
  if (script_copy != nullptr) CloseHandle(script_copy);
  if (!created) return false;
  // The command processor reads the script by its path, which must lead to
  // the judged file; a program's image must be that file.
  if (script ? !PathHasId(final_path, checked) : !ImageHasId(started.hProcess, checked)) {
    TerminateProcess(started.hProcess, ERROR_FILE_INVALID);
    WaitForSingleObject(started.hProcess, kEndGraceMilliseconds);
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    result->start_error = ERROR_FILE_INVALID;
    return false;
  }
  if (request.wait && request.timeout_ms > 0) job->Assign(started.hProcess, false);
  ResumeThread(started.hThread);
  CloseHandle(started.hThread);
  *process = started.hProcess;
  *process_id = started.dwProcessId;
  return true;
}

void* LoadOpenedLibraryFile(HANDLE file, DependencySearch search, uint32_t* error) {
  FileId checked;
  std::wstring final_path;
  if (!IdOf(file, &checked) || !FinalPathOf(file, &final_path) || !PathHasId(final_path, checked)) {
    *error = ERROR_FILE_INVALID;
    return nullptr;
  }
  HMODULE known = nullptr;
  if (GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, final_path.c_str(), &known)) {
    const auto found = CheckedModules().find(known);
    if (found == CheckedModules().end() || !(found->second == checked)) {
      *error = ERROR_FILE_INVALID;
      return nullptr;
    }
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
  std::vector<wchar_t> name(kLongestPath);
  const DWORD length = GetModuleFileNameW(library, name.data(), kLongestPath);
  if (length == 0 || length >= kLongestPath ||
      !PathHasId(std::wstring(name.data(), length), checked)) {
    *error = ERROR_FILE_INVALID;
    return nullptr;
  }
  CheckedModules()[library] = checked;
  return library;
}

}  // namespace win32

void SetBeforeOpenedUseForTesting(std::function<void()> hook) {
  win32::BeforeOpenedUse() = std::move(hook);
}

bool CanStartOpenedProgram(const std::wstring& file, uint32_t* error) {
  if (!win32::IsCommandScriptPath(file) && !win32::IsProgramPath(file)) {
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

}  // namespace platform
