// The Windows side of the platform layer: the Win32 calls themselves.
#include "Platform/platform.h"

#include <windows.h>

#include <shellapi.h>
#include <shlwapi.h>

// winbase.h maps the name to WriteProfileStringW; the layer's own function
// of that name is meant here.
#undef WriteProfileString

#include <climits>
#include <cstdlib>
#include <cwchar>
#include <filesystem>

namespace platform {

const wchar_t kPathSeparator = L'\\';
const char kPathListSeparator = ';';
const wchar_t kSecurityBaseLibrary[] = L"Brindle.dll";

namespace {

constexpr DWORD kPathBufferLength = 260;
constexpr size_t kCombinedPathBufferLength = 1024;
constexpr size_t kQuotedFileBufferLength = 1024;

HANDLE AsHandle(void* handle) { return static_cast<HANDLE>(handle); }

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string ConvertToCodePage(const std::wstring& text, UINT code_page) {
  if (text.empty()) return std::string();
  int size = WideCharToMultiByte(code_page, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string buffer(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(code_page, 0, text.c_str(), -1, &buffer[0], size, nullptr, nullptr);
  buffer[static_cast<size_t>(size) - 1] = '\0';
  return std::string(buffer.c_str());
}

}  // namespace

// --- Process ---------------------------------------------------------------

InstanceClaim ClaimSingleInstance() {
  // The handle is deliberately never closed; the system closes it at exit.
  HANDLE mutex = CreateMutexW(nullptr, FALSE, L"Global\\VXTaverly_Mutex");
  if (mutex == nullptr) return InstanceClaim::kNoHandle;
  if (GetLastError() == ERROR_ALREADY_EXISTS) return InstanceClaim::kAlreadyRunning;
  return InstanceClaim::kOnlyCopy;
}

std::vector<std::wstring> CommandLineArguments() {
  std::vector<std::wstring> arguments;
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
  if (argv == nullptr) return arguments;
  for (int i = 0; i < count; ++i) arguments.emplace_back(argv[i]);
  LocalFree(argv);
  return arguments;
}

std::wstring OwnExecutablePath() {
  // A longer path comes back cut to the buffer; the signature check then
  // fails to open it and says so.
  wchar_t buffer[kPathBufferLength + 1] = {};
  if (GetModuleFileNameW(nullptr, buffer, kPathBufferLength) == 0) return std::wstring();
  return buffer;
}

std::wstring TempFolder() {
  wchar_t buffer[kPathBufferLength] = {};
  GetTempPathW(kPathBufferLength, buffer);
  return buffer;
}

std::wstring CombinePath(const std::wstring& folder, const std::wstring& name) {
  wchar_t buffer[kCombinedPathBufferLength] = {};
  if (PathCombineW(buffer, folder.c_str(), name.c_str()) == nullptr) return std::wstring();
  return buffer;
}

std::string LogHostName() {
  char buffer[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameA(buffer, &length)) return std::string();
  return buffer;
}

std::string LogUserName() {
  // The same source as the logging library's own user lookup, which names
  // its files "invalid-user" when that gives nothing.
  const char* user = std::getenv("USERNAME");
  return (user != nullptr && *user != '\0') ? user : "invalid-user";
}

// --- Privileges ------------------------------------------------------------

int OsMajorVersion() {
  OSVERSIONINFOW info;
  ZeroMemory(&info, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;  // 276
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  GetVersionExW(&info);
#pragma GCC diagnostic pop
  return static_cast<int>(info.dwMajorVersion);
}

ElevationAnswer QueryTokenElevation() {
  ElevationAnswer answer;
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    answer.open_error = GetLastError();
    return answer;
  }
  answer.opened = true;
  DWORD elevated = 0;
  DWORD length = 0;
  if (GetTokenInformation(token, TokenElevation, &elevated, sizeof elevated, &length)) {
    answer.elevated = elevated != 0;
  }
  CloseHandle(token);
  return answer;
}

bool IsAdministratorsMember() {
  SID_IDENTIFIER_AUTHORITY nt_authority = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  if (!AllocateAndInitializeSid(&nt_authority,
                                2,
                                SECURITY_BUILTIN_DOMAIN_RID,
                                DOMAIN_ALIAS_RID_ADMINS,
                                0,
                                0,
                                0,
                                0,
                                0,
                                0,
                                &administrators)) {
    return false;
  }
  BOOL member = FALSE;
  if (!CheckTokenMembership(nullptr, administrators, &member)) member = FALSE;
  FreeSid(administrators);
  return member == TRUE;
}

bool IsSystemAccount() {
  char name[256] = {};
  DWORD size = sizeof name;
  if (!GetUserNameA(name, &size)) return false;
  const char kSystem[] = "SYSTEM";
  for (size_t i = 0; i < sizeof kSystem; ++i) {
    if (AsciiLower(name[i]) != AsciiLower(kSystem[i])) return false;
  }
  return true;
}

// --- Text ------------------------------------------------------------------

std::wstring NarrowToWide(const char* bytes, size_t count) {
  if (bytes == nullptr || count == 0 || count > INT_MAX) return std::wstring();
  int length = MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(count), nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring buffer(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(count), &buffer[0], length);
  return buffer;
}

std::string WideToNarrow(const std::wstring& text) { return ConvertToCodePage(text, CP_ACP); }

std::string WideToUtf8(const std::wstring& text) { return ConvertToCodePage(text, CP_UTF8); }

// --- Environment -----------------------------------------------------------

std::string GetEnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : std::string();
}

bool SetPathVariable(const std::string& value) {
  // The runtime's assignment also updates the environment that child
  // processes and the library search see.
  return _putenv(("PATH=" + value).c_str()) == 0;
}

bool SetCurrentFolder(const std::wstring& folder) {
  return SetCurrentDirectoryW(folder.c_str()) != FALSE;
}

// --- File system -------------------------------------------------------------

bool PathExists(const std::wstring& path) {
  if (path.empty()) return false;
  return PathFileExistsW(path.c_str()) != FALSE;
}

bool PrepareLogFolder(const std::wstring& folder) {
  // Every missing component in turn; failures are not reported, logging
  // falls back on its own when the folder is not there.
  for (size_t pos = folder.find_first_of(L"\\/");; pos = folder.find_first_of(L"\\/", pos + 1)) {
    std::wstring part = pos == std::wstring::npos ? folder : folder.substr(0, pos);
    if (!part.empty() && part.back() != L':') CreateDirectoryW(part.c_str(), nullptr);
    if (pos == std::wstring::npos) break;
  }
  return true;
}

bool FindFiles(const std::wstring& search, std::vector<std::wstring>* names, uint32_t* error) {
  names->clear();
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(search.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return false;
  }
  do {
    names->emplace_back(data.cFileName);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return true;
}

bool OpenInputStream(const std::wstring& path, std::ifstream* stream) {
  stream->open(std::filesystem::path(path), std::ios::in);
  return stream->is_open();
}

ReadOnlyFile::ReadOnlyFile() : handle_(INVALID_HANDLE_VALUE) {}

ReadOnlyFile::~ReadOnlyFile() {
  if (AsHandle(handle_) != INVALID_HANDLE_VALUE) CloseHandle(AsHandle(handle_));
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
  handle_ = file;
  return true;
}

bool ReadOnlyFile::Size(uint64_t* size) const {
  LARGE_INTEGER value;
  if (AsHandle(handle_) == INVALID_HANDLE_VALUE || !GetFileSizeEx(AsHandle(handle_), &value)) {
    return false;
  }
  *size = static_cast<uint64_t>(value.QuadPart);
  return true;
}

bool ReadOnlyFile::ReadAt(uint64_t offset, void* buffer, size_t count) const {
  if (AsHandle(handle_) == INVALID_HANDLE_VALUE) return false;
  char* out = static_cast<char*>(buffer);
  while (count > 0) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD chunk = count > 0x40000000u ? 0x40000000u : static_cast<DWORD>(count);
    DWORD read = 0;
    if (!ReadFile(AsHandle(handle_), out, chunk, &read, &at) || read == 0) return false;
    out += read;
    offset += read;
    count -= read;
  }
  return true;
}

bool WriteProfileString(const std::wstring& section, const std::wstring& key,
                        const std::wstring& value, const std::wstring& path, uint32_t* error) {
  if (WritePrivateProfileStringW(section.c_str(), key.c_str(), value.c_str(), path.c_str())) {
    return true;
  }
  *error = GetLastError();
  return false;
}

// --- Programs and libraries --------------------------------------------------

bool StartProgram(const std::wstring& file, const std::wstring& parameters, bool wait,
                  uint32_t* exit_code) {
  wchar_t quoted[kQuotedFileBufferLength] = {};
  _snwprintf(quoted, kQuotedFileBufferLength - 1, L"\"%ls\"", file.c_str());

  SHELLEXECUTEINFOW info;
  ZeroMemory(&info, sizeof info);
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = L"open";
  info.lpFile = quoted;
  info.lpParameters = parameters.c_str();
  info.lpDirectory = nullptr;
  info.nShow = SW_HIDE;
  info.hwnd = nullptr;
  if (!ShellExecuteExW(&info)) return false;

  // Opening a document may give no process; then the caller's code stays.
  if (info.hProcess != nullptr) {
    if (wait) WaitForSingleObject(info.hProcess, INFINITE);
    if (exit_code != nullptr) {
      DWORD code = 0;
      if (GetExitCodeProcess(info.hProcess, &code)) *exit_code = code;
    }
    CloseHandle(info.hProcess);
  }
  return true;
}

bool CanStartProgram(const std::wstring& file) {
  DWORD attributes = GetFileAttributesW(file.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  // The shell opens a folder in a window of its own.
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return true;
  DWORD length = 0;
  HRESULT result = AssocQueryStringW(ASSOCF_INIT_IGNOREUNKNOWN,
                                     ASSOCSTR_COMMAND,
                                     PathFindExtensionW(file.c_str()),
                                     L"open",
                                     nullptr,
                                     &length);
  return result == S_OK || result == S_FALSE;
}

void* LoadLibraryFile(const std::wstring& path, uint32_t* error) {
  HMODULE library = LoadLibraryW(path.c_str());
  if (library == nullptr) *error = GetLastError();
  return reinterpret_cast<void*>(library);
}

void* FindExport(void* library, const char* name) {
  if (library == nullptr || name == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

}  // namespace platform
