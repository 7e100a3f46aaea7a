// Starting a program on Windows: from the request to its result. Every
// program or command script whose output is captured, that has a time limit,
// that was opened and judged or that runs as a session's user is created
// suspended and resumed by the one containment step; the rest goes through
// the shell's "open" action.
#include "Platform/process/process.h"

#include <windows.h>

#include <io.h>
#include <shlwapi.h>

#include <cstdint>
#include <vector>

#include "Platform/process/opened_win32.h"
#include "Platform/process/process_win32.h"
#include "Rules/program_names.h"

namespace platform {
namespace {

using win32::Containment;
using win32::OutputPipe;
using win32::Suspended;

// The most descriptors the C runtime hands out.
constexpr int kHighestDescriptor = 2048;

// The longest command line CreateProcessW takes, its ending NUL not counted;
// the shell's start makes one at least as long as ours.
constexpr size_t kLongestCommandLine = 32766;

void IgnoreInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int,
                            uintptr_t) {}

// Whether the request is started by the shell: without captured output, a
// time limit, an opened file or a user to run as, or for a document, which
// only the shell can open.
bool ThroughShell(const ProgramRequest& request, bool capture) {
  if (request.opened != nullptr || request.as_user != nullptr) return false;
  const bool limited = request.wait && request.timeout_ms > 0;
  return !(capture || (limited && CanCaptureOutput(request.file)));
}

// Starts the request; the process is running, in its job when it has a
// time limit, or null when the shell gave none. False with the error.
bool StartContained(const ProgramRequest& request, const OutputPipe& output,
                    Containment* containment, HANDLE* process, DWORD* process_id, uint32_t* error) {
  if (ThroughShell(request, output.valid())) {
    if (!win32::StartThroughShell(request, process, error)) return false;
    if (*process != nullptr) *process_id = GetProcessId(*process);
    containment->TakeRunning(*process);
    return true;
  }
  win32::Account account;
  if (request.as_user != nullptr && !account.TakeUser(*request.as_user, error)) return false;
  const HANDLE write = output.valid() ? output.write_handle() : nullptr;
  Suspended started;
  // A signed item: exactly the judged file, or nothing.
  const bool created =
      request.opened != nullptr
          ? win32::CreateOpenedProgram(request, write, account, &started, error)
          : win32::CreateSuspended(
                win32::CommandLineFor(request.file, request.file, request.parameters),
                write != nullptr ? std::vector<HANDLE>{write} : std::vector<HANDLE>(),
                write,
                account,
                &started,
                error);
  if (!created) return false;
  containment->Run(&started);
  *process = started.process;
  *process_id = started.process_id;
  return true;
}

}  // namespace

void win32::KeepRuntimeFilesFromChildren() {
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

ProgramResult StartProgram(const ProgramRequest& request) {
  win32::KeepRuntimeFilesFromChildren();
  ProgramResult result;
  if (request.opened != nullptr && request.opened->native() == nullptr) {
    result.start_error = ERROR_INVALID_HANDLE;
    return result;
  }
  // Only a program or command script can be created as another user; a
  // document is opened by the shell, which runs as this process.
  if (request.as_user != nullptr && !CanCaptureOutput(request.file)) {
    result.start_error = ERROR_NOT_SUPPORTED;
    return result;
  }
  // What the system would refuse is not tried: the plan asks the same.
  if (!ArgumentsWithinLimit(request.file, request.parameters, &result.start_error)) {
    result.arguments_too_long = true;
    return result;
  }
  if (request.opened != nullptr) win32::RunBeforeOpenedUse();
  const bool limited = request.wait && request.timeout_ms > 0;
  Containment containment(limited);
  const bool capture = request.wait && request.capture_output && CanCaptureOutput(request.file);
  OutputPipe output(capture);
  HANDLE process = nullptr;
  DWORD process_id = 0;
  if (!StartContained(request, output, &containment, &process, &process_id, &result.start_error)) {
    return result;
  }
  result.started = true;
  output.CloseWriteEnd();
  OutputPipe* read_while_waiting = output.valid() ? &output : nullptr;

  // Opening a document may give no process; then there is no exit code.
  if (process != nullptr) {
    if (limited) {
      containment.Supervise(process, process_id, request, &result, read_while_waiting);
    } else if (request.wait) {
      win32::WaitTicking(process, INFINITE, request.while_waiting, read_while_waiting);
    }
    DWORD code = 0;
    if (GetExitCodeProcess(process, &code)) {
      result.has_process = true;
      result.exit_code = code;
    }
    CloseHandle(process);
  }
  if (output.valid()) {
    output.ReadRest(win32::kLastOutputRead);
    result.output = output.Kept();
    result.output_captured = true;
  }
  return result;
}

bool CanCaptureOutput(const std::wstring& file) {
  return IsProgramName(file) || IsCommandScriptName(file);
}

bool CanStartProgram(const std::wstring& file, uint32_t* error) {
  DWORD code = ERROR_SUCCESS;
  DWORD attributes = GetFileAttributesW(file.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    code = GetLastError();
  } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && IsCommandScriptName(file)) {
    // A command script is never started by its own type's action, which may
    // be missing or changed by policy: always in the system folder's cmd.exe.
    const std::wstring processor = win32::SystemCommandProcessor();
    if (processor.empty()) {
      code = ERROR_PATH_NOT_FOUND;
    } else if (GetFileAttributesW(processor.c_str()) == INVALID_FILE_ATTRIBUTES) {
      code = GetLastError();
    }
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

bool ArgumentsWithinLimit(const std::wstring& file, const std::wstring& parameters,
                          uint32_t* error) {
  const bool fits =
      win32::CommandLineFor(file, file, parameters).text.size() <= kLongestCommandLine;
  if (error != nullptr) *error = fits ? ERROR_SUCCESS : ERROR_FILENAME_EXCED_RANGE;
  return fits;
}

}  // namespace platform
