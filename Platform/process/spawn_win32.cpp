// Making a process on Windows: CreateProcessW (CreateProcessAsUserW for a
// session's user), always suspended, for every start that can be (programs
// and command scripts, captured, timed, opened or as a user), and the
// shell's "open" action for the rest.
#include <windows.h>

#include <shellapi.h>

#include <cwchar>
#include <vector>

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

// CreateProcessW for this process's own account; CreateProcessAsUserW for a
// user's, with the user's environment, on the session's interactive desktop.
bool CreateAs(const Account& account, const CommandLine& command, BOOL inherit, DWORD flags,
              STARTUPINFOEXW* startup, PROCESS_INFORMATION* information) {
  std::wstring text = command.text;
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
  return CreateProcessAsUserW(account.token(),
                              command.application.c_str(),
                              &text[0],
                              nullptr,
                              nullptr,
                              inherit,
                              flags | CREATE_UNICODE_ENVIRONMENT,
                              account.environment(),
                              nullptr,
                              &startup->StartupInfo,
                              information);
}

}  // namespace

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
  if (!CreateAs(account,
                command,
                handles.list() != nullptr ? TRUE : FALSE,
                flags,
                &startup,
                &information)) {
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
