// The Windows side of the platform layer: the Win32 calls themselves.
#include "Platform/platform.h"

#include <windows.h>

#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <sddl.h>
#include <shellapi.h>
#include <shlwapi.h>

// winbase.h maps the name to WriteProfileStringW; the layer's own function
// of that name is meant here.
#undef WriteProfileString

#include <climits>
#include <cstdlib>
#include <cwchar>
#include <vector>

#include "Platform/ascii_case.h"
#include "Platform/folder_trust.h"
#include "Platform/win32_support.h"

namespace platform {

const wchar_t kPathSeparator = L'\\';
const char kPathListSeparator = ';';
const wchar_t kSecurityBaseLibrary[] = L"Brindle.dll";

namespace {

constexpr DWORD kPathBufferLength = 260;
constexpr size_t kCombinedPathBufferLength = 1024;

HANDLE AsHandle(void* handle) { return static_cast<HANDLE>(handle); }

// The folder part of a path: everything before its last separator.
std::wstring FolderOf(const std::wstring& path) {
  size_t separator = path.find_last_of(L"\\/");
  return separator == std::wstring::npos ? std::wstring(L".") : path.substr(0, separator);
}

}  // namespace

namespace win32 {

std::string SidText(void* sid) {
  LPWSTR text = nullptr;
  if (sid == nullptr || !ConvertSidToStringSidW(sid, &text)) return std::string();
  std::string narrow;
  for (const wchar_t* c = text; *c != L'\0'; ++c) narrow.push_back(static_cast<char>(*c));
  LocalFree(text);
  return narrow;
}

}  // namespace win32

namespace {

using win32::SidText;

// Refuses a folder that exists but may not be written through. A folder that
// is not there is left to the call that needs it, which fails with its own
// error.
bool FolderMayBeWritten(const std::wstring& folder, DWORD* error) {
  FolderFacts facts;
  uint32_t open_error = 0;
  if (!win32::ReadFolderFacts(folder, &facts, &open_error)) {
    if (open_error == ERROR_FILE_NOT_FOUND || open_error == ERROR_PATH_NOT_FOUND) return true;
    *error = open_error;
    return false;
  }
  if (MayWriteThroughFolder(facts)) return true;
  *error = ERROR_ACCESS_DENIED;
  return false;
}

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

namespace win32 {

TempPathFunction FindGetTempPath2() {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return nullptr;
  return reinterpret_cast<TempPathFunction>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "GetTempPath2W")));
}

std::wstring TempFolderFrom(TempPathFunction get_temp_path2) {
  wchar_t buffer[kPathBufferLength] = {};
  if (get_temp_path2 != nullptr) {
    get_temp_path2(kPathBufferLength, buffer);
  } else {
    GetTempPathW(kPathBufferLength, buffer);
  }
  return buffer;
}

}  // namespace win32

std::wstring TempFolder() { return win32::TempFolderFrom(win32::FindGetTempPath2()); }

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

std::string AccountName() {
  char name[256] = {};
  DWORD size = sizeof name;
  return GetUserNameA(name, &size) ? std::string(name) : std::string();
}

std::string LogUserName() {
  // The account of the process token, never the USERNAME variable, which any
  // caller can set to anything; "invalid-user" when the system cannot tell,
  // as the logging library's own lookup names its files then.
  const std::string account = AccountName();
  return !account.empty() ? account : "invalid-user";
}

std::string ErrorText(uint32_t error) {
  char* text = nullptr;
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr,
      error,
      0,
      reinterpret_cast<char*>(&text),
      0,
      nullptr);
  std::string message = length > 0 && text != nullptr ? std::string(text, length) : "unknown error";
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  return "error " + std::to_string(error) + ": " + message;
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
  return EqualIgnoringAsciiCase(name, "SYSTEM");
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
  // With the system-only search the current folder no longer counts for
  // libraries; the folder is named to the loader instead.
  if (!folder.empty()) AddDllDirectory(folder.c_str());
  return SetCurrentDirectoryW(folder.c_str()) != FALSE;
}

// --- File system -------------------------------------------------------------

bool PathExists(const std::wstring& path) {
  if (path.empty()) return false;
  return PathFileExistsW(path.c_str()) != FALSE;
}

namespace win32 {

std::string AccountSidText() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return std::string();
  DWORD length = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &length);
  std::string text;
  if (length > 0) {
    std::vector<unsigned char> buffer(length);
    if (GetTokenInformation(token, TokenUser, buffer.data(), length, &length)) {
      text = SidText(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
    }
  }
  CloseHandle(token);
  return text;
}

std::string LogFolderSddl(const std::string& account_sid) {
  // P: protected, nothing inherited from the parent; each ACE is inherited by
  // what is created inside (OICI) and grants full control (FA).
  return "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + account_sid + ")";
}

namespace {

// The log folder's security descriptor (LogFolderSddl for the running
// account), to be freed with LocalFree; null with the system error number.
PSECURITY_DESCRIPTOR LogFolderDescriptor(uint32_t* error) {
  const std::string account = AccountSidText();
  if (account.empty()) {
    *error = ERROR_NO_TOKEN;
    return nullptr;
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
          LogFolderSddl(account).c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
    *error = GetLastError();
    return nullptr;
  }
  return descriptor;
}

}  // namespace

bool CreateFolderWithOwnDacl(const std::wstring& folder, uint32_t* error) {
  PSECURITY_DESCRIPTOR descriptor = LogFolderDescriptor(error);
  if (descriptor == nullptr) return false;
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  BOOL created = CreateDirectoryW(folder.c_str(), &attributes);
  *error = created ? ERROR_SUCCESS : GetLastError();
  LocalFree(descriptor);
  return created != FALSE;
}

bool ProtectFolder(const std::wstring& folder, uint32_t* error) {
  PSECURITY_DESCRIPTOR descriptor = LogFolderDescriptor(error);
  if (descriptor == nullptr) return false;
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  DWORD code = GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) ? ERROR_SUCCESS
                                                                                  : GetLastError();
  // The entry itself, not what a junction or link in its place points at.
  HANDLE handle = code != ERROR_SUCCESS
                      ? INVALID_HANDLE_VALUE
                      : CreateFileW(folder.c_str(),
                                    READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr,
                                    OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr);
  if (code == ERROR_SUCCESS && handle == INVALID_HANDLE_VALUE) code = GetLastError();
  if (handle != INVALID_HANDLE_VALUE) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information)) {
      code = GetLastError();
    } else if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
               (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      code = ERROR_ACCESS_DENIED;
    } else {
      code = SetSecurityInfo(handle,
                             SE_FILE_OBJECT,
                             DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                             nullptr,
                             nullptr,
                             dacl,
                             nullptr);
    }
    CloseHandle(handle);
  }
  LocalFree(descriptor);
  *error = code;
  return code == ERROR_SUCCESS;
}

bool ReadAllAt(void* handle, uint64_t offset, void* buffer, size_t count) {
  char* out = static_cast<char*>(buffer);
  while (count > 0) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD chunk = count > 0x40000000u ? 0x40000000u : static_cast<DWORD>(count);
    DWORD read = 0;
    if (!ReadFile(AsHandle(handle), out, chunk, &read, &at) || read == 0) return false;
    out += read;
    offset += read;
    count -= read;
  }
  return true;
}

bool ReadFolderFacts(const std::wstring& folder, FolderFacts* facts, uint32_t* error) {
  // The entry itself, not what a junction or link in its place points at.
  HANDLE handle = CreateFileW(folder.c_str(),
                              READ_CONTROL | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr,
                              OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return false;
  }
  *facts = FolderFacts();
  BY_HANDLE_FILE_INFORMATION information;
  if (GetFileInformationByHandle(handle, &information)) {
    facts->is_folder = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    facts->is_link = (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  }
  // The name's own attributes as well: Wine follows a symbolic link when it
  // opens it, and tells it apart only here.
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    facts->is_link = true;
  }
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(handle,
                      SE_FILE_OBJECT,
                      OWNER_SECURITY_INFORMATION,
                      &owner,
                      nullptr,
                      nullptr,
                      nullptr,
                      &descriptor) == ERROR_SUCCESS) {
    facts->owner = ClassifyOwnerSid(SidText(owner), AccountSidText());
    LocalFree(descriptor);
  }
  CloseHandle(handle);
  return true;
}

}  // namespace win32

bool PrepareLogFolder(const std::wstring& folder) {
  if (folder.empty()) return false;
  // The missing parents as any folder; failures are not reported, logging
  // falls back on its own when the folder is not there.
  for (size_t pos = folder.find_first_of(L"\\/"); pos != std::wstring::npos;
       pos = folder.find_first_of(L"\\/", pos + 1)) {
    std::wstring part = folder.substr(0, pos);
    if (!part.empty() && part.back() != L':') CreateDirectoryW(part.c_str(), nullptr);
  }
  // The log folder itself with a DACL of its own, so that nobody else can
  // reach what the program writes there.
  uint32_t error = 0;
  const bool created = win32::CreateFolderWithOwnDacl(folder, &error);
  FolderFacts facts;
  if (!win32::ReadFolderFacts(folder, &facts, &error) || !MayWriteThroughFolder(facts)) {
    return false;
  }
  // A folder that was there already (made by an earlier version, or with
  // what its parent passed on) gets the same DACL, so that whatever it let
  // other accounts do ends here. Where the system refuses, it is used as found.
  if (!created) win32::ProtectFolder(folder, &error);
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

bool ReadFileText(const std::wstring& path, std::string* content) {
  content->clear();
  // The sharing of the runtime's own file open; a folder does not open.
  HANDLE file = CreateFileW(path.c_str(),
                            GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr,
                            OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return false;
  }
  // Read through the runtime in text mode, as a text-mode stream reads it.
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDONLY | _O_TEXT);
  if (fd < 0) {
    CloseHandle(file);
    return false;
  }
  char buffer[8192];
  int n;
  while ((n = _read(fd, buffer, sizeof buffer)) > 0)
    content->append(buffer, static_cast<size_t>(n));
  _close(fd);  // closes the handle too
  return true;
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
  // A device name (NUL, CON, a pipe) is no file.
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return false;
  }
  handle_ = file;
  return true;
}

bool ReadOnlyFile::IsOpen() const { return AsHandle(handle_) != INVALID_HANDLE_VALUE; }

bool ReadOnlyFile::Size(uint64_t* size) const {
  LARGE_INTEGER value;
  if (AsHandle(handle_) == INVALID_HANDLE_VALUE || !GetFileSizeEx(AsHandle(handle_), &value)) {
    return false;
  }
  *size = static_cast<uint64_t>(value.QuadPart);
  return true;
}

bool ReadOnlyFile::ReadAt(uint64_t offset, void* buffer, size_t count) const {
  return AsHandle(handle_) != INVALID_HANDLE_VALUE &&
         win32::ReadAllAt(handle_, offset, buffer, count);
}

bool WriteProfileString(const std::wstring& section, const std::wstring& key,
                        const std::wstring& value, const std::wstring& path, uint32_t* error) {
  DWORD refused = 0;
  if (!FolderMayBeWritten(FolderOf(path), &refused)) {
    *error = refused;
    return false;
  }
  if (WritePrivateProfileStringW(section.c_str(), key.c_str(), value.c_str(), path.c_str())) {
    return true;
  }
  *error = GetLastError();
  return false;
}

bool DeleteProfileKey(const std::wstring& section, const std::wstring& key,
                      const std::wstring& path, uint32_t* error) {
  // Asked first, so that a file without the key is not touched at all.
  wchar_t value[2] = {};
  const wchar_t kAbsent[] = L"\x01";
  GetPrivateProfileStringW(section.c_str(), key.c_str(), kAbsent, value, 2, path.c_str());
  if (value[0] == kAbsent[0]) return true;
  DWORD refused = 0;
  if (!FolderMayBeWritten(FolderOf(path), &refused)) {
    *error = refused;
    return false;
  }
  if (WritePrivateProfileStringW(section.c_str(), key.c_str(), nullptr, path.c_str())) return true;
  *error = GetLastError();
  return false;
}

namespace {

// Makes a file at path as disposition says (CREATE_ALWAYS, CREATE_NEW) and
// writes content into it, flushed to disk with flush. A file made but not
// written whole is deleted again; one that could not be made is left alone.
// False with the system error number.
bool WriteWholeFile(const std::wstring& path, DWORD disposition, const std::string& content,
                    bool flush, DWORD* error, SECURITY_ATTRIBUTES* security = nullptr) {
  HANDLE file = CreateFileW(
      path.c_str(), GENERIC_WRITE, 0, security, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return false;
  }
  DWORD written = 0;
  const bool ok =
      content.size() <= 0xFFFFFFFFu &&
      WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
      written == content.size() && (!flush || FlushFileBuffers(file));
  const DWORD code = ok ? ERROR_SUCCESS : GetLastError();
  CloseHandle(file);
  if (!ok) {
    DeleteFileW(path.c_str());
    *error = code != ERROR_SUCCESS ? code : ERROR_WRITE_FAULT;
  }
  return ok;
}

// Renames source over target. A reader that has the target open without
// FILE_SHARE_DELETE (an installer polling the run report, for one) makes the
// rename fail for as long as it holds the file, so the rename is tried again
// for a while before it counts as failed. GetLastError() tells why.
bool MoveOverFile(const std::wstring& source, const std::wstring& target, bool flush) {
  constexpr int kAttempts = 20;
  constexpr DWORD kPauseMs = 25;
  const DWORD move = MOVEFILE_REPLACE_EXISTING | (flush ? MOVEFILE_WRITE_THROUGH : 0);
  for (int attempt = 1;; ++attempt) {
    if (MoveFileExW(source.c_str(), target.c_str(), move)) return true;
    const DWORD code = GetLastError();
    // A folder in the target's place gives ERROR_ACCESS_DENIED too, for good.
    const DWORD target_attributes = GetFileAttributesW(target.c_str());
    const bool folder = target_attributes != INVALID_FILE_ATTRIBUTES &&
                        (target_attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool held = !folder && (code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED ||
                                  code == ERROR_LOCK_VIOLATION);
    if (!held || attempt == kAttempts) {
      SetLastError(code);
      return false;
    }
    Sleep(kPauseMs);
  }
}

}  // namespace

bool ReplaceFileContent(const std::wstring& path, const std::string& content, bool flush,
                        uint32_t* error) {
  DWORD refused = 0;
  if (!FolderMayBeWritten(FolderOf(path), &refused)) {
    *error = refused;
    return false;
  }
  const std::wstring temp = path + L"." + std::to_wstring(GetCurrentProcessId()) + L".tmp";
  DWORD code = ERROR_SUCCESS;
  if (!WriteWholeFile(temp, CREATE_ALWAYS, content, flush, &code)) {
    *error = code;
    return false;
  }
  if (!MoveOverFile(temp, path, flush)) {
    *error = GetLastError();
    DeleteFileW(temp.c_str());
    return false;
  }
  return true;
}

bool CreateNewFile(const std::wstring& path, const std::string& content, bool owner_only,
                   uint32_t* error) {
  // Owner only: a protected DACL for the creating account alone, from the
  // moment the file exists, whatever the folder passes down.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const std::string account = owner_only ? win32::AccountSidText() : std::string();
  if (owner_only &&
      (account.empty() ||
       !ConvertStringSecurityDescriptorToSecurityDescriptorA(
           win32::OwnerOnlySddl(account).c_str(), SDDL_REVISION_1, &descriptor, nullptr))) {
    *error = account.empty() ? ERROR_NO_TOKEN : GetLastError();
    return false;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  DWORD code = ERROR_SUCCESS;
  const bool written =
      WriteWholeFile(path, CREATE_NEW, content, true, &code, owner_only ? &attributes : nullptr);
  if (descriptor != nullptr) LocalFree(descriptor);
  if (!written) *error = code;
  return written;
}

RemoveOutcome RemoveProfileFile(const std::wstring& path, uint32_t* error) {
  DWORD refused = 0;
  if (!FolderMayBeWritten(FolderOf(path), &refused)) {
    *error = refused;
    return RemoveOutcome::kFailed;
  }
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
      return RemoveOutcome::kNothing;
    *error = code;
    return RemoveOutcome::kFailed;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return RemoveOutcome::kNothing;
  if (DeleteFileW(path.c_str())) return RemoveOutcome::kRemoved;
  *error = GetLastError();
  return RemoveOutcome::kFailed;
}

}  // namespace platform
