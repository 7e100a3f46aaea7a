// Starts the product's programs and loads its libraries: the one part of the
// platform layer that hands control to code the program does not own.
// process_posix.cpp and process_win32.cpp implement it.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// The exit code reported for a started program that is still running.
constexpr uint32_t kStillActive = 259;

struct ProgramRequest {
  std::wstring file;
  std::wstring parameters;  // one text, split by the program's runtime
  bool wait = false;        // block until the program ends
};

struct ProgramResult {
  bool started = false;
  uint32_t start_error = 0;  // the system error number when nothing was started
  // Whether the start gave a process to ask for its exit code; the Windows
  // shell may open a document without one.
  bool has_process = false;
  uint32_t exit_code = 0;  // with has_process; kStillActive while it runs
};

// Starts the request's file through the shell's "open" action (POSIX: spawns
// the file itself, never through a shell, its parameters split as a Windows
// program's runtime splits its command line; only descriptors 0 to 2 are
// inherited). Environment and current directory are the caller's.
ProgramResult StartProgram(const ProgramRequest& request);

// Answers whether StartProgram could start file for this account, without
// starting anything (POSIX: a regular file this account may execute, in a
// format the kernel runs; Windows: a folder, or a file whose type has an
// "open" action). When not, error is the system error a start would give.
bool CanStartProgram(const std::wstring& file, uint32_t* error);

// Loads a library by full path; null on failure, with the system error number.
void* LoadLibraryFile(const std::wstring& path, uint32_t* error);
// Finds an exported symbol; null when there is none.
void* FindExport(void* library, const char* name);

}  // namespace platform
