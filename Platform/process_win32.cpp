// The Windows side of starting programs and loading libraries: the shell's
// "open" action and the loader.
#include "Platform/process.h"

#include <windows.h>

#include <io.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <cstdint>

#include <cwchar>
#include <functional>
#include <vector>

#include "Platform/ascii_case.h"
#include "Platform/job_win32.h"
#include "Platform/opened_win32.h"
#include "Platform/win32_support.h"

namespace platform {
namespace {

using win32::Job;
using win32::OutputPipe;
using win32::Supervise;
using win32::WaitTicking;

constexpr size_t kQuotedFileBufferLength = 1024;
// The most descriptors the C runtime hands out.
constexpr int kHighestDescriptor = 2048;

void IgnoreInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int,
                            uintptr_t) {}

// The logging library opens its file through the C runtime, whose handles
// are inheritable: a program the shell starts would hold the log open. Every
// file the runtime has open beyond the standard three is kept from started
// programs and loaded code alike; a log file begun since the last call
// (after 10 MB) is caught by the next start or load.
void KeepRuntimeFilesFromChildren() {
  const _invalid_parameter_handler previous =
      _set_invalid_parameter_handler(IgnoreInvalidParameter);
  for (int fd = 3; fd < kHighestDescriptor; ++fd) {
    const intptr_t handle = _get_osfhandle(fd);
    if (handle != -1 && handle != -2) {
      SetHandleInformation(reinterpret_cast<HANDLE>(handle), HANDLE_FLAG_INHERIT, 0);
    }
  }
  _set_invalid_parameter_handler(previous);
}

// The extension of file in lower case, dot included ("" when none).
std::string ExtensionOf(const std::wstring& file) {
  const wchar_t* extension = PathFindExtensionW(file.c_str());
  std::string narrow;
  for (const wchar_t* c = extension; *c != L'\0'; ++c) {
    narrow.push_back(*c < 0x80 ? AsciiLower(static_cast<char>(*c)) : '?');
  }
  return narrow;
}

bool IsCommandScript(const std::wstring& file) {
  const std::string extension = ExtensionOf(file);
  return extension == ".bat" || extension == ".cmd";
}

// The command processor's parameters that run a command script: /c with the
// whole line quoted once more, so that the processor strips the outer pair
// and keeps the quotes around the script's path.
std::wstring ScriptParameters(const ProgramRequest& request) {
  return L"/c \"\"" + request.file + L"\" " + request.parameters + L"\"";
}

// The program and command line CreateProcessW takes for a request: a
// command script runs in the command processor, as the shell would run it.
void CommandLineFor(const ProgramRequest& request, std::wstring* application,
                    std::wstring* command_line) {
  if (!IsCommandScript(request.file)) {
    *application = request.file;
    *command_line = L"\"" + request.file + L"\" " + request.parameters;
    return;
  }
  *application = win32::SystemCommandProcessor();
  *command_line = L"\"" + *application + L"\" " + ScriptParameters(request);
}

std::function<void()>& BeforeJob() {
  static std::function<void()> hook;
  return hook;
}

// Puts a program started suspended into its job when it has a time limit,
// then lets it run: nothing it starts can be outside the job.
void IntoJobAndRun(const ProgramRequest& request, const PROCESS_INFORMATION& started, Job* job) {
  if (request.timeout_ms > 0) {
    if (BeforeJob()) BeforeJob()();
    job->Assign(started.hProcess, false);
  }
  ResumeThread(started.hThread);
  CloseHandle(started.hThread);
}

// Starts a program or command script with a time limit whose output is not
// captured: suspended, as the captured ones are, and otherwise as the shell
// starts it (a console of its own, hidden, inheriting no handle).
bool StartSuspended(const ProgramRequest& request, Job* job, ProgramResult* result, HANDLE* process,
                    DWORD* process_id) {
  std::wstring application, command_line;
  CommandLineFor(request, &application, &command_line);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION started = {};
  if (!CreateProcessW(application.c_str(),
                      &command_line[0],
                      nullptr,
                      nullptr,
                      FALSE,
                      CREATE_SUSPENDED | CREATE_NEW_CONSOLE,
                      nullptr,
                      nullptr,
                      &startup,
                      &started)) {
    result->start_error = GetLastError();
    return false;
  }
  IntoJobAndRun(request, started, job);
  *process = started.hProcess;
  *process_id = started.dwProcessId;
  return true;
}

// Starts a program whose output is captured: suspended, so that it is in
// its job before it runs an instruction, with the output pipe's write end
// as its standard output and error and as the only handle it inherits.
bool StartCaptured(const ProgramRequest& request, const OutputPipe& output, Job* job,
                   ProgramResult* result, HANDLE* process, DWORD* process_id) {
  std::wstring application, command_line;
  CommandLineFor(request, &application, &command_line);

  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<unsigned char> storage(size);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
  if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) {
    result->start_error = GetLastError();
    return false;
  }
  HANDLE inherited = output.write_handle();
  bool ok = UpdateProcThreadAttribute(attributes,
                                      0,
                                      PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                      &inherited,
                                      sizeof inherited,
                                      nullptr,
                                      nullptr) != FALSE;
  STARTUPINFOEXW startup = {};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  startup.StartupInfo.wShowWindow = SW_HIDE;
  startup.StartupInfo.hStdInput = nullptr;
  startup.StartupInfo.hStdOutput = inherited;
  startup.StartupInfo.hStdError = inherited;
  startup.lpAttributeList = attributes;
  PROCESS_INFORMATION started = {};
  ok = ok && CreateProcessW(application.c_str(),
                            &command_line[0],
                            nullptr,
                            nullptr,
                            TRUE,
                            EXTENDED_STARTUPINFO_PRESENT | CREATE_SUSPENDED | CREATE_NO_WINDOW,
                            nullptr,
                            nullptr,
                            &startup.StartupInfo,
                            &started);
  if (!ok) result->start_error = GetLastError();
  DeleteProcThreadAttributeList(attributes);
  if (!ok) return false;
  IntoJobAndRun(request, started, job);
  *process = started.hProcess;
  *process_id = started.dwProcessId;
  return true;
}

// Starts file through the shell's "open" action, as items always have been
// started (a command script as the system folder's command processor with
// the script for its parameters); a document with a time limit goes into
// its job right after, having run for a moment.
bool StartThroughShell(const ProgramRequest& request, Job* job, ProgramResult* result,
                       HANDLE* process, DWORD* process_id) {
  const bool script = IsCommandScript(request.file);
  const std::wstring file = script ? win32::SystemCommandProcessor() : request.file;
  const std::wstring parameters = script ? ScriptParameters(request) : request.parameters;
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
    result->start_error = GetLastError();
    return false;
  }
  *process = info.hProcess;
  if (info.hProcess != nullptr) {
    *process_id = GetProcessId(info.hProcess);
    if (request.wait && request.timeout_ms > 0) {
      if (BeforeJob()) BeforeJob()();
      job->Assign(info.hProcess, true);
    }
  }
  return true;
}

// Which way a request starts: captured output or a time limit need a
// program or script started suspended; the rest goes through the shell.
bool StartAnyWay(const ProgramRequest& request, const OutputPipe& output, Job* job,
                 ProgramResult* result, HANDLE* process, DWORD* process_id) {
  if (output.valid()) return StartCaptured(request, output, job, result, process, process_id);
  if (request.wait && request.timeout_ms > 0 && CanCaptureOutput(request.file)) {
    return StartSuspended(request, job, result, process, process_id);
  }
  return StartThroughShell(request, job, result, process, process_id);
}

}  // namespace

void win32::SetBeforeJobForTesting(std::function<void()> hook) { BeforeJob() = std::move(hook); }

ProgramResult StartProgram(const ProgramRequest& request) {
  KeepRuntimeFilesFromChildren();
  ProgramResult result;
  if (request.opened != nullptr) {
    if (request.opened->native() == nullptr) {
      result.start_error = ERROR_INVALID_HANDLE;
      return result;
    }
    win32::RunBeforeOpenedUse();
  }
  Job job;
  HANDLE process = nullptr;
  DWORD process_id = 0;
  const bool capture = request.wait && request.capture_output && CanCaptureOutput(request.file);
  OutputPipe output(capture);
  // A signed item: exactly the judged file, or nothing.
  const bool started =
      request.opened != nullptr
          ? win32::StartOpenedProgram(request,
                                      output.valid() ? output.write_handle() : nullptr,
                                      &job,
                                      &result,
                                      &process,
                                      &process_id)
          : StartAnyWay(request, output, &job, &result, &process, &process_id);
  if (!started) return result;
  result.started = true;
  output.CloseWriteEnd();
  OutputPipe* read_while_waiting = output.valid() ? &output : nullptr;

  // Opening a document may give no process; then there is no exit code.
  if (process != nullptr) {
    if (request.wait && request.timeout_ms > 0) {
      Supervise(process, process_id, request, &job, &result, read_while_waiting);
    } else if (request.wait) {
      WaitTicking(process, INFINITE, request.while_waiting, read_while_waiting);
    }
    DWORD code = 0;
    if (GetExitCodeProcess(process, &code)) {
      result.has_process = true;
      result.exit_code = code;
    }
    CloseHandle(process);
  }
  if (output.valid()) {
    output.ReadAvailable(win32::kLastOutputRead);
    result.output = output.Kept();
    result.output_captured = true;
  }
  return result;
}

bool CanCaptureOutput(const std::wstring& file) {
  const std::string extension = ExtensionOf(file);
  return extension == ".exe" || extension == ".com" || IsCommandScript(file);
}

bool CanStartProgram(const std::wstring& file, uint32_t* error) {
  DWORD code = ERROR_SUCCESS;
  DWORD attributes = GetFileAttributesW(file.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    code = GetLastError();
  } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    // The shell opens a folder in a window of its own; a file needs an
    // "open" action for its type.
    DWORD length = 0;
    HRESULT found = AssocQueryStringW(ASSOCF_INIT_IGNOREUNKNOWN,
                                      ASSOCSTR_COMMAND,
                                      PathFindExtensionW(file.c_str()),
                                      L"open",
                                      nullptr,
                                      &length);
    if (found != S_OK && found != S_FALSE) code = ERROR_NO_ASSOCIATION;
  }
  if (error != nullptr) *error = code;
  return code == ERROR_SUCCESS;
}

void* LoadLibraryFile(const std::wstring& path, uint32_t* error) {
  KeepRuntimeFilesFromChildren();
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
  KeepRuntimeFilesFromChildren();
  // file stays open across the load: nobody can write, rename or delete it.
  return win32::LoadOpenedLibraryFile(static_cast<HANDLE>(file.native()), search, error);
}

void* FindExport(void* library, const char* name) {
  if (library == nullptr || name == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

}  // namespace platform
