// Making a process on Windows: CreateProcessW (CreateProcessAsUserW or
// CreateProcessWithTokenW for a session's user), always suspended, for every
// start that can be (programs and command scripts, captured, timed, opened
// or as a user), and the shell's "open" action for the rest.
#include <windows.h>

#include <shellapi.h>

#include <cwchar>
#include <vector>

#include "Platform/process/opened_win32.h"
#include "Platform/process/process_win32.h"
#include "Rules/program_names.h"

namespace platform {
namespace win32 {
namespace {

constexpr size_t kQuotedFileBufferLength = 1024;

// The command processor's parameters that run a command script: /D, as the
// AutoRun commands the registry may name for the processor would otherwise
// run first, unchecked and with the run's rights, signed item or not; /c with
// the whole line quoted once more, so that the processor strips the outer
// pair and keeps the quotes around the script's path.
std::wstring ScriptParameters(const std::wstring& script, const std::wstring& parameters) {
  return L"/D /c \"\"" + script + L"\" " + parameters + L"\"";
}

// An attribute list naming the handles a process inherits, no others.
class InheritedHandles {
 public:
  explicit InheritedHandles(const std::vector<HANDLE>& handles) : handles_(handles) {
    if (handles_.empty()) return;
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    storage_.resize(size);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) {
      error_ = GetLastError();
      return;
    }
    list_ = attributes;
    if (!UpdateProcThreadAttribute(list_,
                                   0,
                                   PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                   handles_.data(),
                                   handles_.size() * sizeof(HANDLE),
                                   nullptr,
                                   nullptr)) {
      error_ = GetLastError();
    }
  }
  ~InheritedHandles() {
    if (list_ != nullptr) DeleteProcThreadAttributeList(list_);
  }
  InheritedHandles(const InheritedHandles&) = delete;
  InheritedHandles& operator=(const InheritedHandles&) = delete;

  DWORD error() const { return error_; }
  LPPROC_THREAD_ATTRIBUTE_LIST list() const { return list_; }

 private:
  std::vector<HANDLE> handles_;
  std::vector<unsigned char> storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
  DWORD error_ = ERROR_SUCCESS;
};

bool& SecondaryLogonForced() {
  static bool forced = false;
  return forced;
}

// Gives a process created suspended through the secondary logon service the
// handles it would have inherited beyond its standard ones (a command
// script's open file): that service hands over no others. The copies are
// kept by the process, unused, until it ends, as inherited ones are.
bool HandOver(const Suspended& started, const std::vector<HANDLE>& inherited, HANDLE output) {
  for (const HANDLE handle : inherited) {
    HANDLE copy = nullptr;
    if (handle != output &&
        !DuplicateHandle(
            GetCurrentProcess(), handle, started.process, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
      return false;
    }
  }
  return true;
}

// CreateProcessWithTokenW, for an administrator holding the token of a
// shell in its own session (Account::MaySecondaryLogon): the secondary logon
// service creates the process, which needs the right to impersonate, held
// by administrators, not the right to assign a token. Logon flags 0, not
// LOGON_WITH_PROFILE: the user is logged on and the shell runs, so the
// profile is loaded already, and the environment block is the user's own.
// The call takes no attribute list (no EXTENDED_STARTUPINFO_PRESENT) and
// has no bInheritHandles, which the start information's page asks to be
// TRUE for the handles STARTF_USESTDHANDLES names: those are given all the
// same (the pipe's write end, inheritable as that page asks), no other
// handle is, so the rest are handed over while the process is suspended.
// Its documentation names CREATE_NEW_CONSOLE among the flags it always
// sets: SW_HIDE keeps such a console hidden. The desktop is in given.
bool CreateThroughSecondaryLogon(const Account& account, const CommandLine& command, DWORD flags,
                                 const STARTUPINFOW& given, const std::vector<HANDLE>& inherited,
                                 HANDLE output, PROCESS_INFORMATION* information) {
  STARTUPINFOW startup = given;
  startup.cb = sizeof startup;
  std::vector<wchar_t> folder(kLongestPath);
  const DWORD length = GetCurrentDirectoryW(kLongestPath, folder.data());
  if (length >= kLongestPath) SetLastError(ERROR_FILENAME_EXCED_RANGE);
  if (length == 0 || length >= kLongestPath) return false;
  std::wstring text = command.text;
  if (!CreateProcessWithTokenW(account.token(),
                               0,
                               command.application.c_str(),
                               &text[0],
                               (flags & ~EXTENDED_STARTUPINFO_PRESENT) | CREATE_UNICODE_ENVIRONMENT,
                               account.environment(),
                               folder.data(),
                               &startup,
                               information)) {
    return false;
  }
  Suspended started = {information->hProcess, information->hThread, information->dwProcessId};
  if (HandOver(started, inherited, output)) return true;
  const DWORD error = GetLastError();
  Discard(&started);
  SetLastError(error);
  return false;
}

// CreateProcessW for this process's own account; CreateProcessAsUserW for a
// user's, with the user's environment, on the session's interactive desktop,
// or CreateProcessWithTokenW where an administrator may not assign the token.
bool CreateAs(const Account& account, const CommandLine& command,
              const std::vector<HANDLE>& inherited, HANDLE output, DWORD flags,
              STARTUPINFOEXW* startup, PROCESS_INFORMATION* information) {
  std::wstring text = command.text;
  const BOOL inherit = startup->lpAttributeList != nullptr ? TRUE : FALSE;
  if (account.token() == nullptr) {
    return CreateProcessW(command.application.c_str(),
                          &text[0],
                          nullptr,
                          nullptr,
                          inherit,
                          flags,
                          nullptr,
                          nullptr,
                          &startup->StartupInfo,
                          information);
  }
  std::wstring desktop = L"winsta0\\default";
  startup->StartupInfo.lpDesktop = &desktop[0];
  const bool forced = SecondaryLogonForced();
  if (!forced && CreateProcessAsUserW(account.token(),
                                      command.application.c_str(),
                                      &text[0],
                                      nullptr,
                                      nullptr,
                                      inherit,
                                      flags | CREATE_UNICODE_ENVIRONMENT,
                                      account.environment(),
                                      nullptr,
                                      &startup->StartupInfo,
                                      information)) {
    return true;
  }
  const DWORD refused = GetLastError();
  if (!forced && (refused != ERROR_PRIVILEGE_NOT_HELD || !account.MaySecondaryLogon())) {
    SetLastError(refused);
    return false;
  }
  return CreateThroughSecondaryLogon(
      account, command, flags, startup->StartupInfo, inherited, output, information);
}

}  // namespace

void SetSecondaryLogonForTesting(bool always) { SecondaryLogonForced() = always; }

std::wstring SystemCommandProcessor() {
  wchar_t folder[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::wstring();
  return std::wstring(folder, length) + L"\\cmd.exe";
}

CommandLine CommandLineFor(const std::wstring& file, const std::wstring& shown,
                           const std::wstring& parameters) {
  if (!IsCommandScriptName(file)) return {file, L"\"" + shown + L"\" " + parameters};
  const std::wstring processor = SystemCommandProcessor();
  return {processor, L"\"" + processor + L"\" " + ScriptParameters(file, parameters)};
}

bool CreateSuspended(const CommandLine& command, const std::vector<HANDLE>& inherited,
                     HANDLE output, const Account& account, Suspended* started, uint32_t* error) {
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
  const InheritedHandles handles(inherited);
  if (handles.error() != ERROR_SUCCESS) {
    *error = handles.error();
    return false;
  }
  if (handles.list() != nullptr) {
    startup.lpAttributeList = handles.list();
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  }
  PROCESS_INFORMATION information = {};
  if (!CreateAs(account, command, inherited, output, flags, &startup, &information)) {
    *error = GetLastError();
    return false;
  }
  *started = {information.hProcess, information.hThread, information.dwProcessId};
  return true;
}

void Discard(Suspended* started) {
  TerminateProcess(started->process, ERROR_FILE_INVALID);
  WaitForSingleObject(started->process, kEndGraceMilliseconds);
  CloseHandle(started->thread);
  CloseHandle(started->process);
  *started = Suspended();
}

bool StartThroughShell(const ProgramRequest& request, HANDLE* process, uint32_t* error) {
  const bool script = IsCommandScriptName(request.file);
  const std::wstring file = script ? SystemCommandProcessor() : request.file;
  const std::wstring parameters =
      script ? ScriptParameters(request.file, request.parameters) : request.parameters;
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
  if (!ShellExecuteExW(&info)) {
    *error = GetLastError();
    return false;
  }
  *process = info.hProcess;
  return true;
}

}  // namespace win32
}  // namespace platform
