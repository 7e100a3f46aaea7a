// The Windows side of starting programs and loading libraries: the shell's
// "open" action and the loader.
#include "Platform/process.h"

#include <windows.h>

#include <shellapi.h>
#include <shlwapi.h>

#include <cwchar>

namespace platform {
namespace {

constexpr size_t kQuotedFileBufferLength = 1024;

}  // namespace

ProgramResult StartProgram(const ProgramRequest& request) {
  ProgramResult result;
  wchar_t quoted[kQuotedFileBufferLength] = {};
  _snwprintf(quoted, kQuotedFileBufferLength - 1, L"\"%ls\"", request.file.c_str());

  SHELLEXECUTEINFOW info;
  ZeroMemory(&info, sizeof info);
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = L"open";
  info.lpFile = quoted;
  info.lpParameters = request.parameters.c_str();
  info.lpDirectory = nullptr;
  info.nShow = SW_HIDE;
  info.hwnd = nullptr;
  if (!ShellExecuteExW(&info)) {
    result.start_error = GetLastError();
    return result;
  }
  result.started = true;

  // Opening a document may give no process; then there is no exit code.
  if (info.hProcess != nullptr) {
    if (request.wait) WaitForSingleObject(info.hProcess, INFINITE);
    DWORD code = 0;
    if (GetExitCodeProcess(info.hProcess, &code)) {
      result.has_process = true;
      result.exit_code = code;
    }
    CloseHandle(info.hProcess);
  }
  return result;
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
  HMODULE library = LoadLibraryW(path.c_str());
  if (library == nullptr) *error = GetLastError();
  return reinterpret_cast<void*>(library);
}

void* FindExport(void* library, const char* name) {
  if (library == nullptr || name == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

}  // namespace platform
