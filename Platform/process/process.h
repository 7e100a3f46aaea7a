// Starts the product's programs and loads its libraries: the one part of the
// platform layer that hands control to code the program does not own.
// start_*.cpp, library_*.cpp and opened_*.cpp implement it, with the files
// their private headers (process_posix.h, process_win32.h) name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "Platform/files/files.h"
#include "Platform/process/sessions.h"
#include "Rules/output_capture.h"

namespace platform {

// The exit code reported for a started program that is still running.
constexpr uint32_t kStillActive = 259;

// How long a program that was asked to end may take before it is forced.
constexpr uint32_t kEndGraceMilliseconds = 5000;

// How often a wait for a program wakes to let the caller bring its report
// up to date.
constexpr uint32_t kWaitTickMilliseconds = 500;

struct ProgramRequest {
  std::wstring file;
  std::wstring parameters;  // one text, split by the program's runtime
  bool wait = false;        // block until the program ends
  // With wait: the time the program may take. The program runs contained
  // with everything it starts (POSIX: a control group, empty when it starts,
  // where the system lets one be made, and a control-group namespace rooted
  // at it, else its own process group; Windows: a job it is in before it
  // runs, where the start allows).
  // When the time runs out, all of them are asked to end (SIGTERM; Windows:
  // WM_CLOSE to the windows of the job) and, after kEndGraceMilliseconds or
  // as soon as the program has ended, forced (the group killed, then the
  // program itself by its own handle; TerminateJobObject). 0: no limit, and
  // the start is exactly the plain one (no control group, no job).
  uint32_t timeout_ms = 0;
  // With wait: standard output and standard error both go to one place the
  // caller reads while it waits: a pipe, read as it fills, so only the kept
  // parts are ever held (the wait wakes for output as for the program's
  // end; Windows: a named pipe read overlapped). A process that keeps the handle
  // after the program ended cannot hold the caller: what it writes later is
  // not read, and it gets a broken pipe.
  bool capture_output = false;
  // With wait: called about every kWaitTickMilliseconds while the program runs.
  std::function<void()> while_waiting;
  // When set, file is this open file, whose content the caller has judged,
  // and exactly that content is started, whatever lies at file's name by
  // then; when the system cannot, nothing runs (Windows: start_error
  // ERROR_FILE_INVALID when it would not be that file). POSIX: the program is executed through the
  // descriptor (/proc/self/fd/3, which the program inherits, so that the
  // interpreter of a "#!" script reads the same file). Windows: only a
  // program (.exe, .com) or a command script (.bat, .cmd) is started, by the
  // open file's own final path; a program is started suspended and runs only
  // when its image is that file (volume and file index); a command script's
  // processor inherits the open file, which shares no write or delete
  // access, so the file stays as judged until the processor ends.
  const ReadOnlyFile* opened = nullptr;
  // When set, the program runs as that session's user, in that session,
  // with the user's identity and environment and nothing of this process's
  // (POSIX: the user's uid, gid and groups, a session of its own and the
  // session's environment alone; Windows: the user's token from the session,
  // the user's environment block and the desktop winsta0\default). Waits,
  // time limits, captured output and opened files serve it as any start.
  const UserSession* as_user = nullptr;
};

struct ProgramResult {
  bool started = false;
  uint32_t start_error = 0;  // the system error number when nothing was started
  // Nothing was started because the parameters exceed what the system takes
  // for a start (ArgumentsWithinLimit); start_error is the error it gives.
  bool arguments_too_long = false;
  // Whether the start gave a process to ask for its exit code; the Windows
  // shell may open a document without one.
  bool has_process = false;
  uint32_t exit_code = 0;  // with has_process; kStillActive while it runs
  // POSIX: the signal that ended the program (its exit_code is 128 + it); 0: none.
  uint32_t signal = 0;
  bool timed_out = false;  // the time limit ran out and the program was ended
  // With wait: the run was asked to end (CatchEndRequests) while it waited,
  // and the program was ended as at a time-out (ended_all and the rest say
  // how far that reached).
  bool ended_with_run = false;
  // With timed_out: whether the processes it started were ended with it.
  // POSIX: its control group holds them, whatever sessions or groups they
  // make, with the groups made below it; a process that moved itself out of
  // the group (possible where the hierarchy is not mounted with nsdelegate)
  // is found by the control-group namespace it carries, or as a descendant
  // of the program, and ended too (see ended_outside). Without a group, its
  // process group and the descendants that left it (false when the program
  // itself left it; one whose parent ended is beyond reach, so
  // may_have_escaped is set). Windows: its
  // job, which a program or command script is in before it runs; a document
  // the shell opens runs a moment before its program is put into the job,
  // so may_have_escaped is set for it. Only the program where it cannot be
  // put into a job of its own.
  bool ended_all = false;
  // With timed_out: how many of its processes were found outside its control
  // group and ended there (POSIX).
  uint32_t ended_outside = 0;
  // With timed_out: whether a process it started may have got beyond what
  // was ended: a document opened by the shell (Windows), or, where the
  // program has no control-group namespace of its own, a process that left
  // its group and whose parent ended (POSIX).
  bool may_have_escaped = false;
  bool output_captured = false;  // capture_output was honoured
  CapturedOutput output;
};

// Starts the request's file through the shell's "open" action (POSIX: spawns
// the file itself, never through a shell, its parameters split as a Windows
// program's runtime splits its command line; only descriptors 0 to 2 are
// inherited; every signal starts with its default action and none blocked,
// whatever the caller left ignored or blocked; never in the caller's process
// group). Environment and current
// directory are the caller's. Windows runs a .bat or .cmd file through
// cmd.exe /D /c from the system folder, never %ComSpec%, however it starts it;
// it starts a program or command script whose output is captured or that
// has a time limit with CreateProcessW, suspended until it is in its job (a
// captured one without a window and with no standard input), and the rest
// through the shell.
ProgramResult StartProgram(const ProgramRequest& request);

// Makes the waits for started programs work whatever the caller of this
// process left behind: POSIX gives SIGCHLD its default action, as an ignored
// one (which survives exec) has the kernel reap every child before it can be
// waited for; it also makes the pipe through which a wait hears at once of
// a request to end (CatchEndRequests), where a descriptor is left for it.
// Windows: nothing. Called once, before anything is started or loaded.
void PrepareProgramWaits();

// Has the signals that ask a process to end (POSIX: SIGTERM, SIGINT, SIGHUP,
// SIGQUIT) recorded rather than end the process, so that the run can end the
// program it waits for and tell its own outcome: a wait notices one within
// kWaitTickMilliseconds at most. Windows: nothing; a windowless program is
// ended there by TerminateProcess, which no program can catch. Called once,
// first, so that a request during start-up fails the run too.
void CatchEndRequests();
// The name of the first such signal that came ("SIGTERM"); null while none
// did (always on Windows).
const char* EndRequestName();

// Answers whether the output of file can be captured: everywhere on POSIX;
// on Windows for programs (.exe, .com) and command scripts (.bat, .cmd) but
// not for documents, which only the shell can open.
bool CanCaptureOutput(const std::wstring& file);

// Answers whether StartProgram could start file for this account, without
// starting anything (POSIX: a regular file this account may execute, in a
// format the kernel runs; Windows: a folder, a command script while the
// system folder's cmd.exe, which StartProgram runs it in, is there, or
// another file whose type has an "open" action). When not, error is the
// system error a start would give.
bool CanStartProgram(const std::wstring& file, uint32_t* error);

// Answers whether a start of file with parameters stays within what the
// system takes for one, as StartProgram, which asks first, hands them over
// (POSIX: no argument or environment string of more than 32 pages with its
// ending NUL, and all of them, with the program's path and a pointer each,
// within a quarter of the stack limit, 6 MiB at most and 128 KiB at least;
// Windows: a command line of at most 32766 characters, a command script's
// that of the system folder's cmd.exe). When not, error is the system error
// a start would give (E2BIG; ERROR_FILENAME_EXCED_RANGE).
bool ArgumentsWithinLimit(const std::wstring& file, const std::wstring& parameters,
                          uint32_t* error);

// Loads a library by full path; null on failure, with the system error number.
// Only a regular file is handed to the loader (POSIX: anything else, a FIFO
// among them, fails at once as a file that is no library, ENOEXEC).
void* LoadLibraryFile(const std::wstring& path, uint32_t* error);
// Where the loader may look for what a library needs.
enum class DependencySearch {
  kAsUnsigned,  // as LoadLibraryFile looks
  // Windows: the system folder only. POSIX: as unsigned, the loader having no
  // such switch; the caller refuses a library that names a search path of
  // its own (CallPlugins/ItemSecurity.h).
  kSystemOnly,
};

// Loads the library file, open and judged by the caller, exactly as judged;
// null with the system error otherwise (Windows: ERROR_FILE_INVALID when it
// would not be, or was not, that file). POSIX: through a copy of its descriptor,
// /proc/self/fd/N, that is never closed once loaded, so no later load can
// reuse the name the loader knows it by. Windows: by the open file's final
// path, which must lead to that file just before the load, and the loaded
// module's file must be that file after it (the library's initialisation has
// then run); a module already loaded under that path that was not loaded
// this way, from that file, is refused. path names the file for errors.
void* LoadOpenedLibrary(const ReadOnlyFile& file, const std::wstring& path, DependencySearch search,
                        uint32_t* error);

// Answers, as CanStartProgram does, whether a start with ProgramRequest::opened
// could start file (Windows: only programs and command scripts).
bool CanStartOpenedProgram(const std::wstring& file, uint32_t* error);

// Tests only: hook is called after an opened file was judged, just before it
// is started or loaded (between the check and the use), so that a test can
// try to replace the file there. The program never sets it.
void SetBeforeOpenedUseForTesting(std::function<void()> hook);

// Finds an exported symbol; null when there is none.
void* FindExport(void* library, const char* name);

}  // namespace platform
