// What the Windows files that start programs share: how a process is created
// (spawn_win32.cpp), what holds a program with a time limit and ends it
// (containment_win32.cpp), and the wait for it with its output
// (wait_win32.cpp). Private to Platform/*_win32.cpp and their tests.
#pragma once

#include <windows.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "Platform/process/process.h"

namespace platform {
namespace win32 {

class OutputPipe;

// The system folder's own command processor, never the one ComSpec names:
// the environment of the run is no part of what the product asked for, and a
// script started by name would run in whatever ComSpec names. Empty when the
// system folder cannot be read.
std::wstring SystemCommandProcessor();

// What CreateProcessW is given for a program or command script: a command
// script runs in the system folder's command processor, without its AutoRun
// commands (/D), with the whole line quoted once more so that the processor
// strips the outer pair and keeps the quotes around the script's path. file
// is what is started, shown the name the program sees as its own (the
// item's, when file is its final path).
struct CommandLine {
  std::wstring application;
  std::wstring text;
};
CommandLine CommandLineFor(const std::wstring& file, const std::wstring& shown,
                           const std::wstring& parameters);

// The logging library opens its file through the C runtime, whose handles
// are inheritable: a program the shell starts would hold the log open. Every
// file the runtime has open beyond the standard three is kept from started
// programs and loaded code alike; a log file begun since the last call
// (after 10 MB) is caught by the next start or load.
void KeepRuntimeFilesFromChildren();

// A process created suspended: it runs nothing until its thread is resumed.
struct Suspended {
  HANDLE process = nullptr;
  HANDLE thread = nullptr;
  DWORD process_id = 0;
};

// Whom a process is created as: this process's own account, or, once taken,
// the user of a session: that user's primary token and environment block
// (the user's own, nothing of this process's), on the session's interactive
// desktop (winsta0\default). start_as_user_win32.cpp takes it.
class Account {
 public:
  Account() = default;
  ~Account();
  Account(const Account&) = delete;
  Account& operator=(const Account&) = delete;

  // Takes the session's user: the token the terminal services hold for the
  // session (this process being the system account) or, where this process
  // may not ask for it (an administrator), the token of the session's shell;
  // then that user's environment. False with the system error.
  bool TakeUser(const UserSession& session, uint32_t* error);
  // Null: this process's own account.
  HANDLE token() const { return token_; }
  void* environment() const { return environment_; }
  // Whether a process this account may not be given by CreateProcessAsUserW
  // (ERROR_PRIVILEGE_NOT_HELD: an administrator lacks the right to assign a
  // token it did not make) may be created through the secondary logon
  // service instead: only with the token of a shell that runs in this
  // process's own session.
  bool MaySecondaryLogon() const;

 private:
  HANDLE token_ = nullptr;
  void* environment_ = nullptr;
  bool from_shell_ = false;
};

// Creates the process suspended, hidden, as account, inheriting exactly the
// handles given: with output as its standard output and error (no window,
// no standard input), or else, as the shell starts a program, with a console
// of its own. The current folder is this process's. False with the system
// error.
bool CreateSuspended(const CommandLine& command, const std::vector<HANDLE>& inherited,
                     HANDLE output, const Account& account, Suspended* started, uint32_t* error);

// Ends a process created suspended that must not run, and lets it go.
void Discard(Suspended* started);

// Starts the request's file through the shell's "open" action (a command
// script in the system folder's command processor): it runs at once. The
// process is null when the shell gives none (a document it hands to a
// program already running). False with the system error.
bool StartThroughShell(const ProgramRequest& request, HANDLE* process, uint32_t* error);

// What holds a program with a time limit: a job of its own. Closing it
// leaves what runs in it running (no kill-on-close): only a program past its
// limit has its job ended. Without a limit nothing is made.
class Containment {
 public:
  explicit Containment(bool limited) : limited_(limited) {}
  ~Containment();
  Containment(const Containment&) = delete;
  Containment& operator=(const Containment&) = delete;

  // The one step every CreateProcessW start takes: the process goes into the
  // job, then its thread is resumed, so nothing it starts is outside the job.
  void Run(Suspended* started);
  // A process the shell started, already running: it goes into the job as it
  // is, and what it started meanwhile may be outside (may_have_escaped).
  void TakeRunning(HANDLE process);
  // Waits for the program up to the request's limit; when it runs out, asks
  // the windows of the job to close, and ends the job (or the program alone,
  // when it is in no job of its own) after the grace or as soon as the
  // program has ended. No wait after the limit is without end.
  void Supervise(HANDLE process, DWORD process_id, const ProgramRequest& request,
                 ProgramResult* result, OutputPipe* output);

 private:
  std::vector<DWORD> ProcessIds(DWORD program) const;
  bool Assign(HANDLE process);

  bool limited_;
  HANDLE job_ = nullptr;
  bool assigned_ = false;
  bool late_ = false;
};

// A pipe for a program's standard output and error, read while the program
// is waited for, so that only what OutputKeeper keeps is ever held, whatever
// the program writes. A named pipe that only this account may open, whose
// end here is read overlapped: a wait is woken by the program's end or by
// output, whichever comes first. The program inherits the write end, which
// this process closes once the program has its own.
class OutputPipe {
 public:
  explicit OutputPipe(bool wanted);
  ~OutputPipe();
  OutputPipe(const OutputPipe&) = delete;
  OutputPipe& operator=(const OutputPipe&) = delete;

  bool valid() const { return read_ != nullptr; }
  HANDLE write_handle() const { return write_; }
  void CloseWriteEnd();
  // Signalled when the read under way has completed; null when none is
  // (every writer has gone).
  HANDLE ready() const { return pending_ ? overlapped_.hEvent : nullptr; }
  // Keeps what the completed read brought and starts the next read.
  void TakeRead();
  // Once the program has ended: reads what is in the pipe now, at most limit
  // bytes, and reads no more, so a process left behind that writes on gets a
  // broken pipe once the pipe is closed.
  void ReadRest(size_t limit);
  CapturedOutput Kept() const { return keeper_.Kept(); }

 private:
  void StartRead();
  void Keep(DWORD count);
  void StopReading();

  HANDLE read_ = nullptr;
  HANDLE write_ = nullptr;
  OVERLAPPED overlapped_ = {};
  std::vector<char> buffer_;
  bool pending_ = false;  // a read is under way
  bool open_ = false;     // a writer may still write
  uint64_t taken_ = 0;    // bytes kept so far
  OutputKeeper keeper_;
};

// The most read from an output pipe once its program has ended: a process
// left behind may write on without end.
constexpr size_t kLastOutputRead = 1024 * 1024;

// Waits for a program up to timeout_ms (INFINITE: without limit), calling
// tick every kWaitTickMilliseconds meanwhile, and reading output (when there
// is a pipe) as it comes. False when the time ran out.
bool WaitTicking(HANDLE process, DWORD timeout_ms, const std::function<void()>& tick,
                 OutputPipe* output = nullptr);

// Tests only: every start as a session's user goes through the secondary
// logon service (CreateProcessWithTokenW), as when CreateProcessAsUserW is
// refused to an administrator holding a shell's token.
void SetSecondaryLogonForTesting(bool always);

// Tests only: hook is called after a program with a time limit was started
// suspended and before it is put into its job. The program never sets it.
void SetBeforeJobForTesting(std::function<void()> hook);

}  // namespace win32
}  // namespace platform
