// Whom a program started as a session's user runs as on Windows: the user's
// primary token and environment block. The system account asks the terminal
// services for the token of the session's user. An administrator may not
// (ERROR_PRIVILEGE_NOT_HELD): it takes the token of the session's shell, the
// Windows folder's explorer.exe running unelevated in that session, which is
// what the user's own programs run with.
#include <windows.h>

#include <userenv.h>
#include <wtsapi32.h>

#include <string>
#include <vector>

#include "Platform/process/opened_win32.h"
#include "Platform/process/process_win32.h"

namespace platform {
namespace win32 {
namespace {

// What a token for CreateProcessAsUserW and CreateEnvironmentBlock must allow.
constexpr DWORD kTokenAccess =
    TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY | TOKEN_IMPERSONATE;

// A primary token of this process's own made from token (closed here).
bool PrimaryFrom(HANDLE token, HANDLE* primary, uint32_t* error) {
  const bool made =
      DuplicateTokenEx(token, kTokenAccess, nullptr, SecurityImpersonation, TokenPrimary, primary);
  if (!made) *error = GetLastError();
  CloseHandle(token);
  return made;
}

// Whether the process runs the shell's image: explorer.exe in the Windows
// folder (Wine: the system folder), which the user cannot replace; a
// program of the user's own named explorer.exe is not it.
bool RunsShell(HANDLE process) {
  std::vector<wchar_t> name(kLongestPath);
  DWORD length = kLongestPath;
  if (!QueryFullProcessImageNameW(process, 0, name.data(), &length)) return false;
  const std::wstring image(name.data(), length);
  for (const auto folder : {GetWindowsDirectoryW, GetSystemDirectoryW}) {
    wchar_t path[MAX_PATH] = {};
    const UINT size = folder(path, MAX_PATH);
    const std::wstring shell = std::wstring(path, size) + L"\\explorer.exe";
    if (size > 0 && size < MAX_PATH &&
        CompareStringOrdinal(image.c_str(), -1, shell.c_str(), -1, TRUE) == CSTR_EQUAL) {
      return true;
    }
  }
  return false;
}

// The primary token of the process id when it runs the shell, and not as
// the elevated half of an administrator's token; false otherwise.
bool ShellProcessToken(DWORD id, HANDLE* primary, uint32_t* error) {
  const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
  if (process == nullptr) {
    *error = GetLastError();
    return false;
  }
  HANDLE token = nullptr;
  const bool shell = RunsShell(process);
  const bool opened =
      shell &&
      OpenProcessToken(process, TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY, &token);
  if (shell && !opened) *error = GetLastError();
  CloseHandle(process);
  if (!opened) return false;
  TOKEN_ELEVATION_TYPE type = TokenElevationTypeFull;
  DWORD size = 0;
  if (!GetTokenInformation(token, TokenElevationType, &type, sizeof type, &size) ||
      type == TokenElevationTypeFull) {
    *error = ERROR_NO_TOKEN;
    CloseHandle(token);
    return false;
  }
  return PrimaryFrom(token, primary, error);
}

// The token of the shell running in the session; ERROR_NO_TOKEN when none
// runs there, else the error of the last one that could not be taken.
bool ShellToken(DWORD session_id, HANDLE* primary, uint32_t* error) {
  PWTS_PROCESS_INFOW list = nullptr;
  DWORD count = 0;
  if (!WTSEnumerateProcessesW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &list, &count)) {
    *error = GetLastError();
    return false;
  }
  *error = ERROR_NO_TOKEN;
  bool found = false;
  for (DWORD i = 0; i < count && !found; ++i) {
    found =
        list[i].SessionId == session_id && list[i].pProcessName != nullptr &&
        CompareStringOrdinal(list[i].pProcessName, -1, L"explorer.exe", -1, TRUE) == CSTR_EQUAL &&
        ShellProcessToken(list[i].ProcessId, primary, error);
  }
  if (list != nullptr) WTSFreeMemory(list);
  return found;
}

// The primary token of the session's user; from_shell tells whether it is
// the shell's.
bool SessionUserToken(DWORD session_id, HANDLE* primary, bool* from_shell, uint32_t* error) {
  HANDLE token = nullptr;
  *from_shell = false;
  if (WTSQueryUserToken(session_id, &token)) return PrimaryFrom(token, primary, error);
  *error = GetLastError();
  if (*error != ERROR_PRIVILEGE_NOT_HELD) return false;
  *from_shell = true;
  return ShellToken(session_id, primary, error);
}

}  // namespace

Account::~Account() {
  if (environment_ != nullptr) DestroyEnvironmentBlock(environment_);
  if (token_ != nullptr) CloseHandle(token_);
}

bool Account::TakeUser(const UserSession& session, uint32_t* error) {
  HANDLE token = nullptr;
  if (!SessionUserToken(session.session_id, &token, &from_shell_, error)) return false;
  void* environment = nullptr;
  if (!CreateEnvironmentBlock(&environment, token, FALSE)) {
    *error = GetLastError();
    CloseHandle(token);
    return false;
  }
  token_ = token;
  environment_ = environment;
  return true;
}

// CreateProcessWithTokenW puts the process in this process's session, whatever
// the token's: a shell's token from another session (a remote one) may not go
// that way, or the user's program would run on a desktop that is not theirs.
bool Account::MaySecondaryLogon() const {
  DWORD token_session = 0;
  DWORD size = 0;
  DWORD own_session = 0;
  return from_shell_ && token_ != nullptr &&
         GetTokenInformation(token_, TokenSessionId, &token_session, sizeof token_session, &size) &&
         ProcessIdToSessionId(GetCurrentProcessId(), &own_session) && token_session == own_session;
}

}  // namespace win32
}  // namespace platform
