// The Windows side of the platform layer: the Win32 calls themselves.
#include "Platform/files/files.h"
#include "Platform/system/system.h"

#include <windows.h>

#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <sddl.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <climits>
#include <cstdlib>
#include <cwchar>
#include <vector>

#include "Platform/process/opened_win32.h"
#include "Platform/win32_support.h"
#include "Rules/ascii_case.h"
#include "Rules/folder_trust.h"
#include "Rules/utf8.h"

namespace platform {

const wchar_t kPathSeparator = L'\\';
const char kPathListSeparator = ';';
const wchar_t kSecurityBaseLibrary[] = L"Brindle.dll";

namespace {

constexpr DWORD kPathBufferLength = 260;
constexpr size_t kCombinedPathBufferLength = 1024;

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

// A handle is never "the lowest free": nothing can take a standard stream's place.
void KeepStandardStreamsTaken() {}

void RaiseDescriptorLimit() {}
bool KeepDescriptorsInReserve() { return true; }
bool DescriptorToSpare() { return true; }
DescriptorsFreed::DescriptorsFreed() {}
DescriptorsFreed::~DescriptorsFreed() {}

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

std::wstring TempFolder() {
  const std::wstring folder = win32::TempFolderFrom(win32::FindGetTempPath2());
  // Made whole here, once, so that every later use names the same folder
  // after the run has made the product folder its working directory (the
  // system's answer is whole as a rule, but TMP is taken as it is written).
  wchar_t full[kPathBufferLength] = {};
  const DWORD length = GetFullPathNameW(folder.c_str(), kPathBufferLength, full, nullptr);
  return length > 0 && length < kPathBufferLength ? std::wstring(full, length) : folder;
}

uint32_t AnsiCodePage() { return GetACP(); }

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
  // The token's user by its SID: the account's name is the system's
  // language's ("SYSTEM", "Système", ...), and any account may be called so.
  return EqualIgnoringAsciiCase(win32::AccountSidText(), "S-1-5-18");
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

std::string WideToUtf8KeepingStrays(const std::wstring& text) {
  const std::u16string units(text.begin(), text.end());
  return EncodeUtf16AsUtf8(units.data(), units.size());
}

size_t win32::CodePageCharacterAt(unsigned code_page, const char* bytes, size_t count,
                                  char32_t* code_point) {
  if (bytes == nullptr || count == 0) return 0;
  const unsigned char first = static_cast<unsigned char>(bytes[0]);
  // Console code pages keep ASCII as it is, and no lead byte lies below 0x80.
  if (first < 0x80) {
    if (code_point != nullptr) *code_point = first;
    return 1;
  }
  const size_t length = IsDBCSLeadByteEx(code_page, first) ? 2 : 1;
  if (count < length) return 0;
  wchar_t wide[2] = {};
  const int converted = MultiByteToWideChar(
      code_page, MB_ERR_INVALID_CHARS, bytes, static_cast<int>(length), wide, 2);
  if (converted != 1 || (wide[0] >= 0xD800 && wide[0] <= 0xDFFF)) return 0;
  if (code_point != nullptr) *code_point = wide[0];
  return length;
}

namespace {

size_t ConsoleCharacterAt(const char* bytes, size_t count, char32_t* code_point) {
  return win32::CodePageCharacterAt(GetOEMCP(), bytes, count, code_point);
}

}  // namespace

CharacterReader OutputLineReader(const std::string& line) {
  // Programs that write UTF-8 (as ever more do) are read as they meant it.
  if (GetOEMCP() == CP_UTF8 || IsUtf8(line.data(), line.size())) return Utf8SequenceAt;
  return ConsoleCharacterAt;
}

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

bool ReadFileText(const std::wstring& path, std::string* content, FileIdentity* identity) {
  content->clear();
  if (identity != nullptr) *identity = FileIdentity();
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
  if (identity != nullptr) win32::IdentityOf(file, identity);
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

}  // namespace platform
