// Starts the product's programs and loads its libraries: the one part of the
// platform layer that hands control to code the program does not own.
// process_posix.cpp and process_win32.cpp implement it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace platform {

// The exit code reported for a started program that is still running.
constexpr uint32_t kStillActive = 259;

// How long a program that was asked to end may take before it is forced.
constexpr uint32_t kEndGraceMilliseconds = 5000;

// The most of a program's output that is kept: its first and its last part.
constexpr size_t kOutputHeadBytes = 32 * 1024;
constexpr size_t kOutputTailBytes = 32 * 1024;

struct ProgramRequest {
  std::wstring file;
  std::wstring parameters;  // one text, split by the program's runtime
  bool wait = false;        // block until the program ends
  // With wait: the time the program may take. When it runs out, the program
  // and every process it started are asked to end (POSIX: SIGTERM to its
  // process group; Windows: WM_CLOSE to the windows of its job) and, after
  // kEndGraceMilliseconds or as soon as the program has ended, forced
  // (SIGKILL to the group; TerminateJobObject). 0: no limit, and the start
  // is exactly the plain one (no process group, no job).
  uint32_t timeout_ms = 0;
  // With wait: standard output and standard error both go to one anonymous
  // temporary file (POSIX: a memfd; Windows: a delete-on-close file in
  // capture_folder, which must be a folder the program may write through),
  // never a pipe, so a process that keeps the handle cannot hold the caller.
  bool capture_output = false;
  std::wstring capture_folder;
};

struct CapturedOutput {
  uint64_t size = 0;  // bytes the program wrote in all
  std::string head;   // all of them when they fit in head and tail together,
                      // else the first kOutputHeadBytes
  std::string tail;   // the last kOutputTailBytes when they did not fit; else empty
};

struct ProgramResult {
  bool started = false;
  uint32_t start_error = 0;  // the system error number when nothing was started
  // Whether the start gave a process to ask for its exit code; the Windows
  // shell may open a document without one.
  bool has_process = false;
  uint32_t exit_code = 0;  // with has_process; kStillActive while it runs
  bool timed_out = false;  // the time limit ran out and the program was ended
  // With timed_out: whether the processes it started were ended with it: its
  // process group (POSIX; a process that made a session or group of its own
  // is beyond reach) or its job (Windows; a program started through the shell
  // runs a moment before it is put into the job). Windows ends only the
  // program where it cannot put it into a job of its own.
  bool ended_all = false;
  bool output_captured = false;  // capture_output was honoured
  CapturedOutput output;
};

// Starts the request's file through the shell's "open" action (POSIX: spawns
// the file itself, never through a shell, its parameters split as a Windows
// program's runtime splits its command line; only descriptors 0 to 2 are
// inherited). Environment and current directory are the caller's. Windows
// starts a program whose output is captured with CreateProcessW (a .bat or
// .cmd file through %ComSpec% /c), without a window and with no standard
// input.
ProgramResult StartProgram(const ProgramRequest& request);

// Answers whether the output of file can be captured: everywhere on POSIX;
// on Windows for programs (.exe, .com) and command scripts (.bat, .cmd) but
// not for documents, which only the shell can open.
bool CanCaptureOutput(const std::wstring& file);

// Fills output from the size bytes of a capture file, through read (exactly
// count bytes at offset; false on a shortfall).
bool ReadCapturedOutput(uint64_t size, const std::function<bool(uint64_t, void*, size_t)>& read,
                        CapturedOutput* output);

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
